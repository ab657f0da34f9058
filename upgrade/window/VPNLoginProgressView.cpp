#include "VPNLoginProgressView.h"

#include <QLinearGradient>
#include <QPainter>
#include <cmath>

VPNLoginProgressView::VPNLoginProgressView(const QRect& frame, QWidget* parent) : QWidget(parent) {
    setGeometry(frame);
    for (int i = 0; i <= 360; i += 4) colors_.push_back(QColor::fromHsvF(i / 360.0, 1.0, 1.0, 1.0));
    timer_.setInterval(static_cast<int>(kAnimationDuration.count()));
    connect(&timer_, &QTimer::timeout, this, [this] { advance(kAnimationDuration); });
    layoutMask();
    performAnimation();
}

void VPNLoginProgressView::setProgress(double value) {
    if (value == progress_) return;
    progress_ = std::min(1.0, std::fabs(value));
    layoutMask();
    update();
}

void VPNLoginProgressView::layoutMask() {
    maskWidth_ = static_cast<int>(progress_ * width());
}

void VPNLoginProgressView::resizeEvent(QResizeEvent*) {
    layoutMask();
}

void VPNLoginProgressView::performAnimation() {
    if (!colors_.isEmpty()) colors_.push_front(colors_.takeLast());
    animating_ = true;
    elapsed_ = std::chrono::milliseconds(0);
    ++animationsRun_;
    if (!manual_ && !timer_.isActive()) timer_.start();
    update();
}

void VPNLoginProgressView::animationDidStop(bool) {
    if (!isStopAnimation_) performAnimation();
}

void VPNLoginProgressView::stopAnimation() {
    animating_ = false;
    timer_.stop();
    isStopAnimation_ = true;
}

void VPNLoginProgressView::setManualTime(bool manual) {
    manual_ = manual;
    if (manual)
        timer_.stop();
    else if (animating_)
        timer_.start();
}

void VPNLoginProgressView::advance(std::chrono::milliseconds elapsed) {
    elapsed_ += elapsed;
    while (animating_ && elapsed_ >= kAnimationDuration) {
        elapsed_ -= kAnimationDuration;
        animating_ = false;
        const auto left = elapsed_;
        animationDidStop(true);
        elapsed_ = left;
    }
}

void VPNLoginProgressView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), QColor(211, 211, 211));
    if (maskWidth_ <= 0 || colors_.isEmpty()) return;
    QLinearGradient gradient(QPointF(0, height() / 2.0), QPointF(width(), height() / 2.0));
    const qsizetype n = colors_.size();
    for (qsizetype i = 0; i < n; ++i) gradient.setColorAt(n == 1 ? 0 : double(i) / double(n - 1), colors_[i]);
    painter.fillRect(QRect(0, 0, maskWidth_, height()), gradient);
}
