#include "ZemScroller.h"

#include <QPainter>
#include <QPainterPath>
#include <QStyleOptionSlider>
#include <typeinfo>

ZemScroller::ZemScroller(QWidget* parent) : QScrollBar(parent) {
    init();
}

ZemScroller::ZemScroller(Qt::Orientation orientation, QWidget* parent) : QScrollBar(orientation, parent) {
    init();
}

void ZemScroller::init() {
    setMouseTracking(true);
    opacity_ = new QGraphicsOpacityEffect(this);
    opacity_->setOpacity(1);
    setGraphicsEffect(opacity_);
    fadeTimer_.setSingleShot(true);
    fadeTimer_.setInterval(kFadeOutDelayMs);
    connect(&fadeTimer_, &QTimer::timeout, this, &ZemScroller::fadeOut);
    connect(this, &QAbstractSlider::valueChanged, this, [this] { showAfterValueChange(); });
}

int ZemScroller::scrollerWidthForControlSize() {
    return kScrollerWidth;
}

bool ZemScroller::isCompatibleWithOverlayScrollers() const {
    return typeid(*this) == typeid(ZemScroller);
}

QSize ZemScroller::sizeHint() const {
    QSize hint = QScrollBar::sizeHint();
    if (orientation() == Qt::Vertical) {
        hint.setWidth(kScrollerWidth);
    } else {
        hint.setHeight(kScrollerWidth);
    }
    return hint;
}

void ZemScroller::setFloatValue(double value) {
    const int before = this->value();
    setValue(minimum() + static_cast<int>(value * (maximum() - minimum()) + 0.5));
    // An unchanged value sends no valueChanged, and still counts as a new value.
    if (this->value() == before) showAfterValueChange();
}

void ZemScroller::showAfterValueChange() {
    animateAlpha(1, kFadeInMs);
    fadeTimer_.start();
}

void ZemScroller::fadeOut() {
    fadeTimer_.stop();
    animateAlpha(0, kFadeOutMs);
}

void ZemScroller::animateAlpha(double to, int durationMs) {
    targetAlpha_ = to;
    if (animation_) animation_->stop();
    if (durationMs <= 0) {
        opacity_->setOpacity(to);
        return;
    }
    animation_ = new QPropertyAnimation(opacity_, "opacity", this);
    animation_->setDuration(durationMs);
    animation_->setEndValue(to);
    animation_->start(QAbstractAnimation::DeleteWhenStopped);
}

void ZemScroller::enterEvent(QEnterEvent* event) {
    fadeTimer_.stop();
    animateAlpha(1, kFadeInMs);
    QScrollBar::enterEvent(event);
}

void ZemScroller::leaveEvent(QEvent* event) {
    fadeOut();
    QScrollBar::leaveEvent(event);
}

void ZemScroller::mouseMoveEvent(QMouseEvent* event) {
    animateAlpha(1, 0);
    QScrollBar::mouseMoveEvent(event);
}

void ZemScroller::paintEvent(QPaintEvent*) {
    // No track: only the knob, as a rounded bar inset from the edges.
    QStyleOptionSlider option;
    initStyleOption(&option);
    const QRect knob =
        style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, this);
    if (knob.isEmpty() || maximum() == minimum()) return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF bar = QRectF(knob).adjusted(3, 3, -3, -3);
    const double radius = std::min(bar.width(), bar.height()) / 2;
    QPainterPath path;
    path.addRoundedRect(bar, radius, radius);
    painter.fillPath(path, QColor(0, 0, 0, 110));
}
