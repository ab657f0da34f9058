#include "ZemHoverButton.h"

#include <QEnterEvent>
#include <QPainter>

ZemHoverButton::ZemHoverButton(QWidget* parent) : ZemActionButton(parent) {
    cell_ = new ZemHoverButtonCell(this);
    setFocusPolicy(Qt::NoFocus);
    setFlat(true);
    setCursor(Qt::PointingHandCursor);
}

void ZemHoverButton::setImage(const QPixmap& image, std::int8_t state) {
    if (state == kStateNormal) image_normal_ = image;
    if (state == kStateHover) image_hight_ = image;
}

void ZemHoverButton::setBgImage(const QPixmap& image, std::int8_t state) {
    if (state == kStateNormal) bgImage_normal_ = image;
    if (state == kStateHover) bgImage_hight_ = image;
}

void ZemHoverButton::setTitleColor(const QColor& color, std::int8_t state) {
    if (state == kStateNormal) titleColor_normal_ = color;
    if (state == kStateHover) titleColor_hight_ = color;
}

void ZemHoverButton::setBackgroundColor(const QColor& color, std::int8_t state) {
    if (state == kStateNormal) bgColor_normal_ = color;
    if (state == kStateHover) bgColor_hight_ = color;
}

void ZemHoverButton::initialDefaultBgImageView(const QPixmap& image) {
    if (cell_) cell_->setBgImage(image);
}

void ZemHoverButton::initialBgImageView() {
    if (cell_) cell_->_initialBgImageView();
}

void ZemHoverButton::showLook(const QColor& title, const QPixmap& image, const QPixmap& bgImage,
                              const QColor& background, bool all) {
    if (title.isValid()) shownTitleColor_ = title;
    if (all) {
        if (!image.isNull()) shownImage_ = image;
        if (!bgImage.isNull() && cell_) cell_->setBgImage(bgImage);
        if (background.isValid()) shownBackgroundColor_ = background;
    }
    update();
}

void ZemHoverButton::mouseEntered() {
    if (isTitleHover_) {
        showLook(titleColor_hight_, {}, {}, {}, false);
    } else if (isAllHover_) {
        showLook(titleColor_hight_, image_hight_, bgImage_hight_, bgColor_hight_, true);
    }
}

void ZemHoverButton::mouseExited() {
    if (isTitleHover_) {
        showLook(titleColor_normal_, {}, {}, {}, false);
    } else if (isAllHover_) {
        showLook(titleColor_normal_, image_normal_, bgImage_normal_, bgColor_normal_, true);
    } else if (!image_normal_.isNull()) {
        shownImage_ = image_normal_;
        update();
    }
}

void ZemHoverButton::setVisible(bool visible) {
    ZemActionButton::setVisible(visible);
    if (cell_) cell_->setHiddenBgView(!visible);
}

bool ZemHoverButton::event(QEvent* event) {
    // Polish comes once the .ui has placed the button in its parent: the background view can go
    // under it then.
    if (event->type() == QEvent::Polish || event->type() == QEvent::ParentChange) initialBgImageView();
    return ZemActionButton::event(event);
}

void ZemHoverButton::enterEvent(QEnterEvent* event) {
    mouseEntered();
    ZemActionButton::enterEvent(event);
}

void ZemHoverButton::leaveEvent(QEvent* event) {
    mouseExited();
    ZemActionButton::leaveEvent(event);
}

void ZemHoverButton::moveEvent(QMoveEvent* event) {
    ZemActionButton::moveEvent(event);
    initialBgImageView();
}

void ZemHoverButton::resizeEvent(QResizeEvent* event) {
    ZemActionButton::resizeEvent(event);
    initialBgImageView();
}

void ZemHoverButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    if (shownBackgroundColor_.isValid()) painter.fillRect(rect(), shownBackgroundColor_);

    QPixmap image = shownImage_;
    if (image.isNull() && !icon().isNull()) image = icon().pixmap(iconSize());
    const QString label = text();
    const QColor color =
        shownTitleColor_.isValid() ? shownTitleColor_ : palette().color(QPalette::ButtonText);

    if (label.isEmpty()) {
        if (image.isNull()) return;
        // A bare image fills the button, keeping its proportions.
        const QSize size = image.size().scaled(rect().size(), Qt::KeepAspectRatio);
        const QRect target(QPoint((width() - size.width()) / 2, (height() - size.height()) / 2), size);
        painter.drawPixmap(target, image);
        return;
    }
    const QFontMetrics metrics(font());
    const int gap = image.isNull() ? 0 : 4;
    const QSize imageSize = image.isNull() ? QSize() : image.size().scaled(iconSize(), Qt::KeepAspectRatio);
    const int total = imageSize.width() + gap + metrics.horizontalAdvance(label);
    int x = std::max(0, (width() - total) / 2);
    if (!image.isNull()) {
        painter.drawPixmap(QRect(QPoint(x, (height() - imageSize.height()) / 2), imageSize), image);
        x += imageSize.width() + gap;
    }
    painter.setPen(color);
    painter.drawText(QRect(x, 0, width() - x, height()), Qt::AlignLeft | Qt::AlignVCenter, label);
}
