// A label that shows its full text in a pop-up below itself while the pointer is over it (for
// texts cut short by the layout). The pop-up lives in the label's parent; it is as wide as the
// text, or wraps at toolViewFrameWidth when that is above 0, and grows downwards. In a .ui file,
// promote a QLabel with the header "ui/screens/controls/ZemHoverLabel.h".
#pragma once

#include <QColor>
#include <QFont>
#include <QLabel>
#include <QPointer>
#include <optional>

class ZemHoverLabel : public QLabel {
    Q_OBJECT
  public:
    // What the pop-up text is measured and drawn with.
    struct ToolViewAttributes {
        QFont font;
        QColor background;
        double lineSpacing = 0;
    };

    explicit ZemHoverLabel(QWidget* parent = nullptr);
    explicit ZemHoverLabel(const QString& text, QWidget* parent = nullptr);

    // Makes the hidden pop-up in the parent, the label's size, right below the label. Runs by
    // itself when the label is first polished; calling it again does nothing.
    void awakeFromNib();

    double toolViewFrameWidth() const { return toolViewFrameWidth_; }
    void setToolViewWidth(double width) { toolViewFrameWidth_ = width; }
    std::optional<QColor> toolViewBgColor() const { return toolViewBgColor_; }
    void setToolViewBackGroundColor(const QColor& color) { toolViewBgColor_ = color; }
    std::optional<ToolViewAttributes> toolViewAttributed() const { return toolViewAttributed_; }
    void setToolViewAttribute(const ToolViewAttributes& attributes) { toolViewAttributed_ = attributes; }

    // The pop-up; null before awakeFromNib.
    QLabel* toolView() const { return toolView_; }

    // What the pointer's entry and exit do (also reachable from tests without a pointer).
    void mouseEntered();
    void mouseExited();

  protected:
    bool event(QEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

  private:
    double toolViewFrameWidth_ = 0;
    std::optional<QColor> toolViewBgColor_;
    std::optional<ToolViewAttributes> toolViewAttributed_;
    QPointer<QLabel> toolView_;
};
