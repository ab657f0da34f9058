#include "HuxNavigationCellView.h"

#include <QMouseEvent>
#include <QPushButton>
#include <QWheelEvent>

#include "ui_HuxNavigationCellView.h"

HuxNavigationCellView::HuxNavigationCellView(QWidget* parent)
    : QWidget(parent), ui_(std::make_unique<Ui::HuxNavigationCellView>()) {
    ui_->setupUi(this);
    setAutoFillBackground(true);
    setBackground(Qt::transparent);
    connect(ui_->tapButton, &QPushButton::clicked, this, [this] { tabClickBtn(); });
}

HuxNavigationCellView::~HuxNavigationCellView() = default;

QLabel* HuxNavigationCellView::titleLb() const {
    return ui_->titleLb;
}

void HuxNavigationCellView::tabClickBtn() {
    if (tapBlock_) tapBlock_();
}

void HuxNavigationCellView::mouseEntered() {
    setBackground(QColor::fromRgb(0xE5EBF4));
}
void HuxNavigationCellView::mouseExited() {
    setBackground(Qt::transparent);
}

QColor HuxNavigationCellView::backgroundColor() const {
    return palette().color(QPalette::Window);
}

void HuxNavigationCellView::setBackground(const QColor& color) {
    QPalette p = palette();
    p.setColor(QPalette::Window, color);
    setPalette(p);
}

void HuxNavigationCellView::enterEvent(QEnterEvent* event) {
    mouseEntered();
    QWidget::enterEvent(event);
}

void HuxNavigationCellView::leaveEvent(QEvent* event) {
    mouseExited();
    QWidget::leaveEvent(event);
}

void HuxNavigationCellView::wheelEvent(QWheelEvent* event) {
    mouseExited();
    QWidget::wheelEvent(event);
}

void HuxNavigationCellView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) tabClickBtn();
    QWidget::mouseReleaseEvent(event);
}
