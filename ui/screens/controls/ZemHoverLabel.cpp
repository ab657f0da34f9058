#include "ZemHoverLabel.h"

#include <QApplication>
#include <QEnterEvent>
#include <QFontMetricsF>
#include <QPainter>
#include <QPalette>
#include <QTextLayout>
#include <cmath>
#include <functional>

#include "ColorRGB.h"

namespace {

// The desktop's dark appearance: the application palette's window colour is dark.
bool darkInterface() {
    return QApplication::palette().color(QPalette::Window).lightness() < 128;
}

// Lays the text out in lines of at most boxWidth (no limit at 0), wrapping anywhere, with extra
// spacing between lines; calls draw for each line when given. Returns the size used.
QSizeF layoutText(const QString& text, const QFont& font, double lineSpacing, double boxWidth,
                  const std::function<void(const QTextLine&, QPointF)>& draw = {}) {
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(boxWidth > 0 ? QTextOption::WrapAnywhere : QTextOption::NoWrap);
    layout.setTextOption(option);
    layout.beginLayout();
    double y = 0;
    double width = 0;
    bool first = true;
    while (true) {
        QTextLine line = layout.createLine();
        if (!line.isValid()) break;
        line.setLineWidth(boxWidth > 0 ? boxWidth : 1e6);
        if (!first) y += lineSpacing;
        first = false;
        line.setPosition(QPointF(0, y));
        y += line.height();
        width = std::max(width, line.naturalTextWidth());
    }
    layout.endLayout();
    if (draw) {
        for (int i = 0; i < layout.lineCount(); ++i) draw(layout.lineAt(i), QPointF(0, 0));
    }
    return QSizeF(std::ceil(width), std::ceil(y));
}

// The pop-up: its text laid out as it was measured, and a grey one-pixel border drawn over the
// edge, so the border takes no room from the text.
class HoverPopup : public QLabel {
  public:
    using QLabel::QLabel;
    double lineSpacing = 5;
    double boxWidth = 0;
    QColor background;

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.fillRect(rect(), background);
        painter.setPen(palette().color(QPalette::WindowText));
        painter.setFont(font());
        layoutText(text(), font(), lineSpacing, boxWidth,
                   [&painter](const QTextLine& line, QPointF origin) { line.draw(&painter, origin); });
        painter.setPen(QPen(Qt::gray, 1));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
    }
};

}  // namespace

ZemHoverLabel::ZemHoverLabel(QWidget* parent) : QLabel(parent) {}

ZemHoverLabel::ZemHoverLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {}

void ZemHoverLabel::awakeFromNib() {
    if (toolView_ || !parentWidget()) return;
    toolView_ = new HoverPopup(parentWidget());
    toolView_->setGeometry(x(), y() + height(), width(), height());
    toolView_->hide();
    toolView_->setWordWrap(true);
    toolView_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    toolView_->setTextFormat(Qt::PlainText);
}

bool ZemHoverLabel::event(QEvent* event) {
    if (event->type() == QEvent::Polish) awakeFromNib();
    return QLabel::event(event);
}

void ZemHoverLabel::enterEvent(QEnterEvent* event) {
    mouseEntered();
    QLabel::enterEvent(event);
}

void ZemHoverLabel::leaveEvent(QEvent* event) {
    mouseExited();
    QLabel::leaveEvent(event);
}

void ZemHoverLabel::mouseEntered() {
    if (!toolView_) awakeFromNib();
    if (!toolView_ || text().isNull()) return;
    toolView_->setText(text());

    if (!toolViewBgColor_) toolViewBgColor_ = RGB::fromRGB(0xFAFFE0);
    if (!toolViewAttributed_) toolViewAttributed_ = ToolViewAttributes{font(), *toolViewBgColor_, 5};
    const ToolViewAttributes& attributes = *toolViewAttributed_;

    const double box = toolViewFrameWidth_ > 0 ? toolViewFrameWidth_ : 0;
    const QSizeF size = layoutText(text(), attributes.font, attributes.lineSpacing, box);
    // The top edge stays where it is; the pop-up grows or shrinks downwards.
    const int width = static_cast<int>(box > 0 ? std::ceil(box) : size.width());
    toolView_->setGeometry(toolView_->x(), toolView_->y(), width, static_cast<int>(size.height()));

    auto* popup = static_cast<HoverPopup*>(toolView_.data());
    popup->lineSpacing = attributes.lineSpacing;
    popup->boxWidth = box;
    popup->background = attributes.background;
    popup->setFont(attributes.font);
    QPalette palette = popup->palette();
    if (darkInterface()) palette.setColor(QPalette::WindowText, Qt::black);
    popup->setPalette(palette);
    toolView_->raise();
    toolView_->show();
}

void ZemHoverLabel::mouseExited() {
    if (toolView_) toolView_->hide();
}
