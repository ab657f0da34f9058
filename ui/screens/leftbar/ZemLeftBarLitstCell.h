// A navigation cell of the left bar: an icon and a title side by side on a button. Status 0 is
// normal (light title, clear background), status 1 highlighted (white title, blue background). A
// click on a normal cell highlights it and calls the completion; a click on a highlighted cell
// does nothing. In a .ui file, promote a QPushButton with the header
// "ui/screens/leftbar/ZemLeftBarLitstCell.h".
#pragma once

#include <QColor>
#include <QLabel>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <cstdint>
#include <functional>

class ZemLeftBarLitstCell : public QPushButton {
    Q_OBJECT
  public:
    using Completion = std::function<void(ZemLeftBarLitstCell*)>;

    explicit ZemLeftBarLitstCell(QWidget* parent = nullptr);
    // A cell of the given frame (in the parent's coordinates).
    ZemLeftBarLitstCell(const QRect& frame, QWidget* parent = nullptr);

    // Lays the icon and the title out again for the cell's current size (a layout resource sets
    // the size after construction).
    void awakeFromNib();

    QLabel* iconView() const { return iconView_; }
    QLabel* titleLabel() const { return titleLabel_; }

    std::uint64_t status() const { return status_; }
    void setStatus(std::uint64_t status);

    const Completion& completion() const { return completion_; }
    // Stores the block; from now on a click runs buttonAction.
    void setCompletion(Completion completion);
    void buttonAction();

    long tag() const { return tag_; }
    void setTag(long tag) { tag_ = tag; }

    QPixmap normalImage() const { return normalImage_; }
    QPixmap highlightImage() const { return highlightImage_; }
    QColor normalColor() const { return normalColor_; }
    QColor highlightColor() const { return highlightColor_; }
    void setNormalImage(const QPixmap& image);
    void setHighlightImage(const QPixmap& image);
    void setNormalColor(const QColor& color);
    void setHighlightColor(const QColor& color);

    // The background drawn behind the icon and title (transparent while normal).
    QColor layerBackgroundColor() const { return layerBackground_; }

    // Asks for a repaint, only while the cell sits in a parent.
    void setNeedsDisplay();

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    void setupSubViews();
    void placeSubViews();
    void setTitleColor(const QColor& color);

    QPointer<QLabel> iconView_;
    QPointer<QLabel> titleLabel_;
    std::uint64_t status_ = 0;
    Completion completion_;
    bool targetSet_ = false;
    long tag_ = 0;
    QPixmap normalImage_;
    QPixmap highlightImage_;
    QColor normalColor_;
    QColor highlightColor_;
    QColor layerBackground_ = Qt::transparent;
};
