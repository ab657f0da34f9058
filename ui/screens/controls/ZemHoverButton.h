// An image button that swaps its look while the pointer is over it. State 1 is normal, 2 hover.
// With isAllHover the hover swaps the title colour, image, background image and background
// colour; with isTitleHover only the title colour. The setters store only: the button shows a new
// value at the next pointer entry or exit. Hiding the button also hides its background image view
// (which lies in the parent, under the button). Promote a QPushButton in a .ui file (header
// "ui/screens/controls/ZemHoverButton.h").
#pragma once

#include <QColor>
#include <QPixmap>
#include <QPointer>
#include <cstdint>

#include "ZemActionButton.h"
#include "ZemHoverButtonCell.h"

class ZemHoverButton : public ZemActionButton {
    Q_OBJECT
    Q_PROPERTY(bool isTitleHover READ isTitleHover WRITE setIsTitleHover)
    Q_PROPERTY(bool isAllHover READ isAllHover WRITE setIsAllHover)
    Q_PROPERTY(QPixmap image_normal READ image_normal WRITE setImage_normal)
    Q_PROPERTY(QPixmap image_hight READ image_hight WRITE setImage_hight)
    Q_PROPERTY(QPixmap bgImage_normal READ bgImage_normal WRITE setBgImage_normal)
    Q_PROPERTY(QPixmap bgImage_hight READ bgImage_hight WRITE setBgImage_hight)
    Q_PROPERTY(QColor titleColor_normal READ titleColor_normal WRITE setTitleColor_normal)
    Q_PROPERTY(QColor titleColor_hight READ titleColor_hight WRITE setTitleColor_hight)
    Q_PROPERTY(QColor bgColor_normal READ bgColor_normal WRITE setBgColor_normal)
    Q_PROPERTY(QColor bgColor_hight READ bgColor_hight WRITE setBgColor_hight)

  public:
    static constexpr std::int8_t kStateNormal = 1;
    static constexpr std::int8_t kStateHover = 2;

    explicit ZemHoverButton(QWidget* parent = nullptr);

    // The class of the cell every ZemHoverButton gets.
    static const char* cellClass() { return "ZemHoverButtonCell"; }
    // The cell; null when it was removed with setCell(nullptr).
    ZemHoverButtonCell* cell() const { return cell_; }
    void setCell(ZemHoverButtonCell* cell) { cell_ = cell; }

    // State 1 stores the _normal value, state 2 the _hight value; others are ignored.
    void setImage(const QPixmap& image, std::int8_t state);
    void setBgImage(const QPixmap& image, std::int8_t state);
    void setTitleColor(const QColor& color, std::int8_t state);
    void setBackgroundColor(const QColor& color, std::int8_t state);
    // Puts the image into the cell's background image view.
    void initialDefaultBgImageView(const QPixmap& image);

    bool isTitleHover() const { return isTitleHover_; }
    void setIsTitleHover(bool v) { isTitleHover_ = v; }
    bool isAllHover() const { return isAllHover_; }
    void setIsAllHover(bool v) { isAllHover_ = v; }
    QPixmap image_normal() const { return image_normal_; }
    QPixmap image_hight() const { return image_hight_; }
    QPixmap bgImage_normal() const { return bgImage_normal_; }
    QPixmap bgImage_hight() const { return bgImage_hight_; }
    QColor titleColor_normal() const { return titleColor_normal_; }
    QColor titleColor_hight() const { return titleColor_hight_; }
    QColor bgColor_normal() const { return bgColor_normal_; }
    QColor bgColor_hight() const { return bgColor_hight_; }
    void setImage_normal(const QPixmap& v) { image_normal_ = v; }
    void setImage_hight(const QPixmap& v) { image_hight_ = v; }
    void setBgImage_normal(const QPixmap& v) { bgImage_normal_ = v; }
    void setBgImage_hight(const QPixmap& v) { bgImage_hight_ = v; }
    void setTitleColor_normal(const QColor& v) { titleColor_normal_ = v; }
    void setTitleColor_hight(const QColor& v) { titleColor_hight_ = v; }
    void setBgColor_normal(const QColor& v) { bgColor_normal_ = v; }
    void setBgColor_hight(const QColor& v) { bgColor_hight_ = v; }

    // What is shown now: the image (the icon), the title colour and the background colour.
    QPixmap shownImage() const { return shownImage_; }
    QColor shownTitleColor() const { return shownTitleColor_; }
    QColor shownBackgroundColor() const { return shownBackgroundColor_; }

    // What the pointer's entry and exit do (also reachable from tests without a pointer).
    void mouseEntered();
    void mouseExited();

    // Hides or shows the button and its background image view together.
    void setVisible(bool visible) override;

  protected:
    bool event(QEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

  private:
    void showLook(const QColor& title, const QPixmap& image, const QPixmap& bgImage, const QColor& background,
                  bool all);
    void initialBgImageView();

    bool isTitleHover_ = false;
    bool isAllHover_ = false;
    QPixmap image_normal_;
    QPixmap image_hight_;
    QPixmap bgImage_normal_;
    QPixmap bgImage_hight_;
    QColor titleColor_normal_;
    QColor titleColor_hight_;
    QColor bgColor_normal_;
    QColor bgColor_hight_;
    QPointer<ZemHoverButtonCell> cell_;
    QPixmap shownImage_;
    QColor shownTitleColor_;
    QColor shownBackgroundColor_;
};
