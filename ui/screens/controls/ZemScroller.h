// An overlay-style scroll bar: 15 pixels wide, a knob and no track, shown at full opacity while
// the pointer is over it or its value changes, and faded out 1.5 s after the last value change
// or when the pointer leaves. Set it on a scroll area with
// setVerticalScrollBar(new ZemScroller(Qt::Vertical)).
#pragma once

#include <QGraphicsOpacityEffect>
#include <QPointer>
#include <QPropertyAnimation>
#include <QScrollBar>
#include <QTimer>

class ZemScroller : public QScrollBar {
    Q_OBJECT
  public:
    static constexpr int kScrollerWidth = 15;
    static constexpr int kFadeInMs = 100;
    static constexpr int kFadeOutMs = 300;
    static constexpr int kFadeOutDelayMs = 1500;

    explicit ZemScroller(QWidget* parent = nullptr);
    explicit ZemScroller(Qt::Orientation orientation, QWidget* parent = nullptr);

    // 15 for every size and style.
    static int scrollerWidthForControlSize();
    // True only for ZemScroller itself, not for a subclass.
    virtual bool isCompatibleWithOverlayScrollers() const;

    // Takes the value, shows the scroller and (re)starts the delayed fade-out.
    void setFloatValue(double value);

    // The opacity the scroller shows or is animating to (0 or 1).
    double alphaValue() const { return targetAlpha_; }
    // A fade-out is waiting for its delay.
    bool fadeOutPending() const { return fadeTimer_.isActive(); }
    // Fades out now (what the delay ends in).
    void fadeOut();

    QSize sizeHint() const override;

  protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

  private:
    void init();
    void animateAlpha(double to, int durationMs);
    void showAfterValueChange();

    QGraphicsOpacityEffect* opacity_ = nullptr;
    QPointer<QPropertyAnimation> animation_;
    QTimer fadeTimer_;
    double targetAlpha_ = 1;
};
