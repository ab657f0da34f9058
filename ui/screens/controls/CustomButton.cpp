#include "CustomButton.h"

#include <QEnterEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

CustomButton::CustomButton(QWidget* parent) : QPushButton(parent) {
    commonInitialize();
}

CustomButton::CustomButton(const QRect& frame, QWidget* parent) : QPushButton(parent) {
    setGeometry(frame);
    commonInitialize();
}

CustomButton::~CustomButton() = default;

void CustomButton::commonInitialize() {
    for (int i = 0; i < 3; ++i) {
        if (borderWidth_[i] == 0) borderWidth_[i] = 1.0;
    }
    if (borderWidth_[3] == 0) borderWidth_[3] = 2.0;
    for (int i = 0; i < 4; ++i) {
        if (!borderColor_[i].isValid()) borderColor_[i] = Qt::transparent;
        if (!titleColor_[i].isValid()) titleColor_[i] = Qt::transparent;
        if (!backgroundColor_[i].isValid()) backgroundColor_[i] = Qt::transparent;
    }
    canSelected_ = true;
    initializeUI();
}

void CustomButton::initializeUI() {
    // The button draws itself; no style bevel, no focus frame.
    setFlat(true);
    setAttribute(Qt::WA_Hover, true);
    setFontColor(titleColor_[kStateNormal]);
}

void CustomButton::setTitle(const QString& title, const QRect& frame, Qt::Alignment alignment,
                            const QFont& font) {
    delete labelView_.data();
    labelView_ = new QLabel(this);
    labelView_->setTextFormat(Qt::PlainText);
    labelView_->setGeometry(frame);
    labelView_->setAutoFillBackground(false);
    labelView_->setAttribute(Qt::WA_TranslucentBackground);
    // Clicks belong to the button, not to its title.
    labelView_->setAttribute(Qt::WA_TransparentForMouseEvents);
    // A child of a button would otherwise draw with the button's text role, not its own colour.
    labelView_->setForegroundRole(QPalette::WindowText);
    labelView_->setAlignment(alignment);
    labelView_->setFont(font);
    labelView_->setText(title);
    labelView_->show();
    labelFollowsBounds_ = frame == rect();
    setFontColor(titleColor_[kStateNormal]);
}

void CustomButton::setTitle(const QString& title) {
    if (!labelView_) return;
    labelView_->setText(title);
    setFontColor(titleColor_[kStateNormal]);
}

QString CustomButton::title() const {
    return labelView_ ? labelView_->text() : QString();
}

QColor CustomButton::titleColor() const {
    return labelView_ ? labelView_->palette().color(QPalette::WindowText) : QColor();
}

void CustomButton::setFontColor(const QColor& color) {
    if (!labelView_ || labelView_->text().isEmpty()) return;
    QPalette palette = labelView_->palette();
    if (palette.color(QPalette::WindowText) == color) return;
    palette.setColor(QPalette::WindowText, color);
    labelView_->setPalette(palette);
}

void CustomButton::initImageWithFrame(const QRect& frame) {
    delete imageView_.data();
    imageView_ = new QLabel(this);
    imageView_->setGeometry(frame);
    imageView_->setAttribute(Qt::WA_TransparentForMouseEvents);
    imageView_->setAlignment(Qt::AlignCenter);
    if (!defaultImage_.isNull()) imageView_->setPixmap(defaultImage_);
    imageView_->show();
    if (labelView_) labelView_->raise();
}

void CustomButton::storeAndShow(std::uint64_t state) {
    buttonState_ = state;
    selected_ = state == kStateSelected;
    updateButtonApperaceWithState(state);
}

void CustomButton::setButtonState(std::uint64_t state) {
    if (state == buttonState_) return;
    storeAndShow(state);
}

void CustomButton::setButtonState(std::uint64_t state, bool forceRefreshUI) {
    if (forceRefreshUI) {
        storeAndShow(state);
    } else {
        setButtonState(state);
    }
}

void CustomButton::updateButtonApperaceWithState(std::uint64_t state) {
    if (state > kStateSelected) return;
    applyLook(state);
    update();
}

void CustomButton::applyLook(std::uint64_t state) {
    const auto i = static_cast<size_t>(state);
    if (!image_[i].isNull()) defaultImage_ = image_[i];
    if (!defaultImage_.isNull() && imageView_ &&
        imageView_->pixmap().cacheKey() != defaultImage_.cacheKey()) {
        imageView_->setPixmap(defaultImage_);
    }
    setFontColor(titleColor_[i]);
    if (hasBorder_) {
        layerCornerRadius_ = cornerRadius_[i];
        layerBorderWidth_ = borderWidth_[i];
        layerBorderColor_ = borderColor_[i];
    } else {
        layerCornerRadius_ = 3.0;
        layerBorderWidth_ = 0;
        layerBorderColor_ = Qt::transparent;
    }
    layerBackgroundColor_ = backgroundColor_[i];
}

void CustomButton::setDefaultState() {
    hover_ = true;
    selected_ = false;
    setButtonState(kStateHover);
}

void CustomButton::setCanSelected(bool canSelected) {
    canSelected_ = canSelected;
    updateButtonApperaceWithState(buttonState_);
}

void CustomButton::setHasBorder(bool hasBorder) {
    hasBorder_ = hasBorder;
    updateButtonApperaceWithState(buttonState_);
}

std::uint64_t CustomButton::drawnState() const {
    if (selected_) return kStateSelected;
    return buttonState_ == kStateHover ? kStateHover : kStateNormal;
}

void CustomButton::mouseEntered() {
    hover_ = true;
    if (!selected_ && isEnabled()) setButtonState(kStateHover);
}

void CustomButton::mouseExited() {
    hover_ = false;
    if (!selected_ && isEnabled()) setButtonState(kStateNormal);
}

void CustomButton::enterEvent(QEnterEvent* event) {
    mouseEntered();
    event->accept();
}

void CustomButton::leaveEvent(QEvent* event) {
    mouseExited();
    event->accept();
}

void CustomButton::mousePressEvent(QMouseEvent* event) {
    // The click is decided on release; the standard press tracking is not used.
    event->accept();
}

void CustomButton::mouseReleaseEvent(QMouseEvent* event) {
    event->accept();
    if (!isEnabled() || event->button() != Qt::LeftButton) return;
    // The pointer is inside when the release lands on the button.
    const bool inside = rect().contains(event->position().toPoint());
    hover_ = inside;
    if (canSelected_ && inside) {
        selected_ = !selected_;
        setButtonState(selected_ ? kStateSelected : kStateNormal);
    } else {
        if (!selected_) setButtonState(kStateNormal);
        if (inside) setButtonState(kStateHover);
    }
    if (inside && isEnabled()) {
        QMetaObject::invokeMethod(
            this, [this] { emit clicked(false); }, Qt::QueuedConnection);
    }
}

void CustomButton::changeEvent(QEvent* event) {
    QPushButton::changeEvent(event);
    if (event->type() == QEvent::EnabledChange) {
        setFontColor(isEnabled() ? titleColor_[kStateNormal]
                                 : palette().color(QPalette::Disabled, QPalette::ButtonText));
    } else if (event->type() == QEvent::ParentChange) {
        updateButtonApperaceWithState(buttonState_);
    }
}

void CustomButton::resizeEvent(QResizeEvent* event) {
    QPushButton::resizeEvent(event);
    if (labelView_ && labelFollowsBounds_) labelView_->setGeometry(rect());
}

void CustomButton::paintEvent(QPaintEvent*) {
    // Only the look changes; the stored state stays (a stored highlight draws as normal).
    if (isEnabled()) applyLook(drawnState());
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF bounds = QRectF(rect());
    QPainterPath path;
    path.addRoundedRect(bounds, layerCornerRadius_, layerCornerRadius_);
    painter.fillPath(path, layerBackgroundColor_);
    if (layerBorderWidth_ > 0 && layerBorderColor_.alpha() > 0) {
        // The border lies inside the bounds, as a layer's does.
        const double half = layerBorderWidth_ / 2;
        const QRectF inner = bounds.adjusted(half, half, -half, -half);
        const double radius = std::max(0.0, layerCornerRadius_ - half);
        painter.setPen(QPen(layerBorderColor_, layerBorderWidth_));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(inner, radius, radius);
    }
}
