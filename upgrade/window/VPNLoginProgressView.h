// The upgrade window's progress bar: a light grey track with a rainbow gradient shown up to the
// progress, whose colours rotate by one step at the end of each 0.5 s animation for as long as
// the bar lives, unless stopped. The animation runs on a real timer, or on manual time that
// advance() moves, so the stepping can be driven without waiting.
#pragma once

#include <QColor>
#include <QList>
#include <QTimer>
#include <QWidget>
#include <chrono>

class VPNLoginProgressView : public QWidget {
    Q_OBJECT
  public:
    static constexpr std::chrono::milliseconds kAnimationDuration{500};

    VPNLoginProgressView(const QRect& frame, QWidget* parent);

    void setProgress(double value);
    double progress() const { return progress_; }
    void performAnimation();
    void stopAnimation();
    // The end of one animation: the next one starts unless the bar was stopped.
    void animationDidStop(bool finished);

    // Manual time: the real timer stops and only advance() ends animations.
    void setManualTime(bool manual);
    void advance(std::chrono::milliseconds elapsed);

    const QList<QColor>& colors() const { return colors_; }
    bool isStopAnimation() const { return isStopAnimation_; }
    // The visible part of the gradient, as layout sets it.
    int maskWidth() const { return maskWidth_; }
    int animationsRun() const { return animationsRun_; }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    void layoutMask();

    bool isStopAnimation_ = false;
    double progress_ = 0;
    QList<QColor> colors_;
    int maskWidth_ = 0;
    bool animating_ = false;
    std::chrono::milliseconds elapsed_{0};
    int animationsRun_ = 0;
    bool manual_ = false;
    QTimer timer_;
};
