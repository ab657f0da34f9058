#include "ZemCheckPasswordFormat.h"

#include <QGraphicsDropShadowEffect>

#include "ui/screens/controls/ColorRGB.h"
#include "ui_ZemCheckPasswordFormat.h"

ZemCheckPasswordFormat::ZemCheckPasswordFormat(QWidget* parent)
    : QWidget(parent), ui_(std::make_unique<Ui::ZemCheckPasswordFormat>()) {
    ui_->setupUi(this);
    viewDidLoad();
}

ZemCheckPasswordFormat::~ZemCheckPasswordFormat() = default;

QLabel* ZemCheckPasswordFormat::tipsLab() const {
    return ui_->tipsLab;
}

void ZemCheckPasswordFormat::viewDidLoad() {
    setAttribute(Qt::WA_TranslucentBackground);
    auto* shadow = new QGraphicsDropShadowEffect(this);
    shadow->setColor(RGB::fromRGB(0x666666));
    shadow->setBlurRadius(5);
    shadow->setOffset(0, 0);
    setGraphicsEffect(shadow);
}

void ZemCheckPasswordFormat::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // The shape and the tip follow the callout's height, which each field sets.
    ui_->background->setGeometry(rect());
    ui_->tipsLab->setGeometry(8, 8, width() - 16, height() - 12);
}
