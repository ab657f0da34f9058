// The app's drawn push button with four looks: normal (0), hover (1), highlight (2) and selected
// (3). Each look has its own title colour, background, border, corner radius and image. The title
// is a label made by setTitle(title, frame, alignment, font); the image view by
// initImageWithFrame(frame). The pointer moves it between normal and hover; with canSelected (the
// default) a click toggles selected/normal, without it a click returns to hover. clicked() is
// emitted after the release has been handled, queued on the GUI thread, only for a release inside.
// Borders and radii apply only with hasBorder; without it every look has radius 3 and no border.
// Use it from a .ui file by promoting a QPushButton (header "ui/screens/controls/CustomButton.h").
#pragma once

#include <QColor>
#include <QLabel>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <cstdint>

class CustomButton : public QPushButton {
    Q_OBJECT
    Q_PROPERTY(bool canSelected READ canSelected WRITE setCanSelected)
    Q_PROPERTY(bool hasBorder READ hasBorder WRITE setHasBorder)
    Q_PROPERTY(double cornerNormalRadius READ cornerNormalRadius WRITE setCornerNormalRadius)
    Q_PROPERTY(double cornerHoverRadius READ cornerHoverRadius WRITE setCornerHoverRadius)
    Q_PROPERTY(double cornerHighlightRadius READ cornerHighlightRadius WRITE setCornerHighlightRadius)
    Q_PROPERTY(double cornerSelectedRadius READ cornerSelectedRadius WRITE setCornerSelectedRadius)
    Q_PROPERTY(double borderNormalWidth READ borderNormalWidth WRITE setBorderNormalWidth)
    Q_PROPERTY(double borderHoverWidth READ borderHoverWidth WRITE setBorderHoverWidth)
    Q_PROPERTY(double borderHighlightWidth READ borderHighlightWidth WRITE setBorderHighlightWidth)
    Q_PROPERTY(double borderSelectedWidth READ borderSelectedWidth WRITE setBorderSelectedWidth)
    Q_PROPERTY(QColor borderNormalColor READ borderNormalColor WRITE setBorderNormalColor)
    Q_PROPERTY(QColor borderHoverColor READ borderHoverColor WRITE setBorderHoverColor)
    Q_PROPERTY(QColor borderHighlightColor READ borderHighlightColor WRITE setBorderHighlightColor)
    Q_PROPERTY(QColor borderSelectedColor READ borderSelectedColor WRITE setBorderSelectedColor)
    Q_PROPERTY(QColor normalColor READ normalColor WRITE setNormalColor)
    Q_PROPERTY(QColor hoverColor READ hoverColor WRITE setHoverColor)
    Q_PROPERTY(QColor highlightColor READ highlightColor WRITE setHighlightColor)
    Q_PROPERTY(QColor selectedColor READ selectedColor WRITE setSelectedColor)
    Q_PROPERTY(QColor backgroundNormalColor READ backgroundNormalColor WRITE setBackgroundNormalColor)
    Q_PROPERTY(QColor backgroundHoverColor READ backgroundHoverColor WRITE setBackgroundHoverColor)
    Q_PROPERTY(
        QColor backgroundHighlightColor READ backgroundHighlightColor WRITE setBackgroundHighlightColor)
    Q_PROPERTY(QColor backgroundSelectedColor READ backgroundSelectedColor WRITE setBackgroundSelectedColor)
    Q_PROPERTY(QPixmap normalImage READ normalImage WRITE setNormalImage)
    Q_PROPERTY(QPixmap hoverImage READ hoverImage WRITE setHoverImage)
    Q_PROPERTY(QPixmap highlightImage READ highlightImage WRITE setHighlightImage)
    Q_PROPERTY(QPixmap selectedImage READ selectedImage WRITE setSelectedImage)

  public:
    static constexpr std::uint64_t kStateNormal = 0;
    static constexpr std::uint64_t kStateHover = 1;
    static constexpr std::uint64_t kStateHighlight = 2;
    static constexpr std::uint64_t kStateSelected = 3;

    explicit CustomButton(QWidget* parent = nullptr);
    explicit CustomButton(const QRect& frame, QWidget* parent = nullptr);  // initWithFrame
    ~CustomButton() override;

    // Creates the title label over frame (button coordinates). A frame equal to the button's
    // bounds keeps following the button's size.
    void setTitle(const QString& title, const QRect& frame, Qt::Alignment alignment, const QFont& font);
    // Puts the title into the label (none: ignored).
    void setTitle(const QString& title);
    QString title() const;
    // Re-colours the label's text (no label or an empty text: ignored).
    void setFontColor(const QColor& color);
    // Creates the image view over frame.
    void initImageWithFrame(const QRect& frame);

    std::uint64_t buttonState() const { return buttonState_; }
    // A different state is stored and shown; the same state does nothing.
    void setButtonState(std::uint64_t state);
    // With force, stores and shows even an unchanged state.
    void setButtonState(std::uint64_t state, bool forceRefreshUI);
    // Shows the look of a state (0-3) without storing it; other values do nothing.
    void updateButtonApperaceWithState(std::uint64_t state);
    // hover on, selected off, state 1.
    void setDefaultState();

    bool selected() const { return selected_; }
    bool hover() const { return hover_; }
    bool canSelected() const { return canSelected_; }
    void setCanSelected(bool canSelected);
    bool hasBorder() const { return hasBorder_; }
    void setHasBorder(bool hasBorder);

    double cornerNormalRadius() const { return cornerRadius_[0]; }
    double cornerHoverRadius() const { return cornerRadius_[1]; }
    double cornerHighlightRadius() const { return cornerRadius_[2]; }
    double cornerSelectedRadius() const { return cornerRadius_[3]; }
    void setCornerNormalRadius(double v) { cornerRadius_[0] = v; }
    void setCornerHoverRadius(double v) { cornerRadius_[1] = v; }
    void setCornerHighlightRadius(double v) { cornerRadius_[2] = v; }
    void setCornerSelectedRadius(double v) { cornerRadius_[3] = v; }

    double borderNormalWidth() const { return borderWidth_[0]; }
    double borderHoverWidth() const { return borderWidth_[1]; }
    double borderHighlightWidth() const { return borderWidth_[2]; }
    double borderSelectedWidth() const { return borderWidth_[3]; }
    void setBorderNormalWidth(double v) { borderWidth_[0] = v; }
    void setBorderHoverWidth(double v) { borderWidth_[1] = v; }
    void setBorderHighlightWidth(double v) { borderWidth_[2] = v; }
    void setBorderSelectedWidth(double v) { borderWidth_[3] = v; }

    QColor borderNormalColor() const { return borderColor_[0]; }
    QColor borderHoverColor() const { return borderColor_[1]; }
    QColor borderHighlightColor() const { return borderColor_[2]; }
    QColor borderSelectedColor() const { return borderColor_[3]; }
    void setBorderNormalColor(const QColor& v) { borderColor_[0] = v; }
    void setBorderHoverColor(const QColor& v) { borderColor_[1] = v; }
    void setBorderHighlightColor(const QColor& v) { borderColor_[2] = v; }
    void setBorderSelectedColor(const QColor& v) { borderColor_[3] = v; }

    // Title colours.
    QColor normalColor() const { return titleColor_[0]; }
    QColor hoverColor() const { return titleColor_[1]; }
    QColor highlightColor() const { return titleColor_[2]; }
    QColor selectedColor() const { return titleColor_[3]; }
    void setNormalColor(const QColor& v) { titleColor_[0] = v; }
    void setHoverColor(const QColor& v) { titleColor_[1] = v; }
    void setHighlightColor(const QColor& v) { titleColor_[2] = v; }
    void setSelectedColor(const QColor& v) { titleColor_[3] = v; }

    QColor backgroundNormalColor() const { return backgroundColor_[0]; }
    QColor backgroundHoverColor() const { return backgroundColor_[1]; }
    QColor backgroundHighlightColor() const { return backgroundColor_[2]; }
    QColor backgroundSelectedColor() const { return backgroundColor_[3]; }
    void setBackgroundNormalColor(const QColor& v) { backgroundColor_[0] = v; }
    void setBackgroundHoverColor(const QColor& v) { backgroundColor_[1] = v; }
    void setBackgroundHighlightColor(const QColor& v) { backgroundColor_[2] = v; }
    void setBackgroundSelectedColor(const QColor& v) { backgroundColor_[3] = v; }

    QPixmap normalImage() const { return image_[0]; }
    QPixmap hoverImage() const { return image_[1]; }
    QPixmap highlightImage() const { return image_[2]; }
    QPixmap selectedImage() const { return image_[3]; }
    void setNormalImage(const QPixmap& v) { image_[0] = v; }
    void setHoverImage(const QPixmap& v) { image_[1] = v; }
    void setHighlightImage(const QPixmap& v) { image_[2] = v; }
    void setSelectedImage(const QPixmap& v) { image_[3] = v; }
    // The image shown: the last state image that was present.
    QPixmap defaultImage() const { return defaultImage_; }

    QLabel* labelView() const { return labelView_; }
    QLabel* imageView() const { return imageView_; }

    // The look drawn now (the layer's values).
    double layerCornerRadius() const { return layerCornerRadius_; }
    double layerBorderWidth() const { return layerBorderWidth_; }
    QColor layerBorderColor() const { return layerBorderColor_; }
    QColor layerBackgroundColor() const { return layerBackgroundColor_; }
    // The label's text colour (invalid without a label).
    QColor titleColor() const;

    // What the pointer's entry and exit do (also reachable from tests without a pointer).
    void mouseEntered();
    void mouseExited();

  protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    void commonInitialize();
    void initializeUI();
    void storeAndShow(std::uint64_t state);
    // Sets the label colour, image and layer values of a state (0-3), without repainting.
    void applyLook(std::uint64_t state);
    // The look drawn before each paint: selected, hover or normal.
    std::uint64_t drawnState() const;

    std::uint64_t buttonState_ = kStateNormal;
    bool selected_ = false;
    bool hover_ = false;
    bool canSelected_ = true;
    bool hasBorder_ = false;
    double cornerRadius_[4] = {0, 0, 0, 0};
    double borderWidth_[4] = {0, 0, 0, 0};
    QColor borderColor_[4];
    QColor titleColor_[4];
    QColor backgroundColor_[4];
    QPixmap image_[4];
    QPixmap defaultImage_;
    QPointer<QLabel> labelView_;
    QPointer<QLabel> imageView_;
    bool labelFollowsBounds_ = false;

    double layerCornerRadius_ = 3.0;
    double layerBorderWidth_ = 0;
    QColor layerBorderColor_ = Qt::transparent;
    QColor layerBackgroundColor_ = Qt::transparent;
};
