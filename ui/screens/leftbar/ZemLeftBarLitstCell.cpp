#include "ZemLeftBarLitstCell.h"

#include <QPainter>

namespace {
constexpr int kIconSide = 14;
constexpr int kTitleHeight = 18;
}  // namespace

ZemLeftBarLitstCell::ZemLeftBarLitstCell(QWidget* parent) : QPushButton(parent) {
    setupSubViews();
}

ZemLeftBarLitstCell::ZemLeftBarLitstCell(const QRect& frame, QWidget* parent) : QPushButton(parent) {
    setGeometry(frame);
    setupSubViews();
}

void ZemLeftBarLitstCell::awakeFromNib() {
    setupSubViews();
}

void ZemLeftBarLitstCell::setupSubViews() {
    status_ = 0;
    setFlat(true);
    setAttribute(Qt::WA_TranslucentBackground);
    setFocusPolicy(Qt::NoFocus);
    layerBackground_ = Qt::transparent;
    highlightColor_ = Qt::white;
    normalColor_ = QColor::fromRgbF(0.9f, 0.9f, 0.9f, 0.8f);

    delete iconView_.data();
    delete titleLabel_.data();
    iconView_ = new QLabel(this);
    iconView_->setObjectName(QStringLiteral("iconView"));
    iconView_->setScaledContents(true);
    iconView_->setAttribute(Qt::WA_TransparentForMouseEvents);
    titleLabel_ = new QLabel(this);
    titleLabel_->setTextFormat(Qt::PlainText);
    titleLabel_->setObjectName(QStringLiteral("titleLabel"));
    titleLabel_->setAttribute(Qt::WA_TransparentForMouseEvents);
    QFont font = titleLabel_->font();
    font.setPixelSize(13);
    titleLabel_->setFont(font);
    titleLabel_->setAutoFillBackground(false);
    titleLabel_->setTextInteractionFlags(Qt::NoTextInteraction);
    setTitleColor(normalColor_);
    placeSubViews();
}

void ZemLeftBarLitstCell::placeSubViews() {
    const int w = width();
    const int h = height();
    if (iconView_) iconView_->setGeometry(w / 2 - 39, (h - kIconSide) / 2, kIconSide, kIconSide);
    if (titleLabel_) titleLabel_->setGeometry(w / 2 - 10, (h - kTitleHeight) / 2, w / 2 - 10, kTitleHeight);
}

void ZemLeftBarLitstCell::resizeEvent(QResizeEvent* event) {
    QPushButton::resizeEvent(event);
    placeSubViews();
}

void ZemLeftBarLitstCell::setTitleColor(const QColor& color) {
    if (!titleLabel_) return;
    QPalette palette = titleLabel_->palette();
    palette.setColor(QPalette::WindowText, color);
    titleLabel_->setPalette(palette);
    // A button's style draws its children's text in the button text colour unless told.
    titleLabel_->setStyleSheet(
        QStringLiteral("QLabel { color: rgba(%1, %2, %3, %4); background: transparent; }")
            .arg(color.red())
            .arg(color.green())
            .arg(color.blue())
            .arg(color.alpha()));
}

void ZemLeftBarLitstCell::setCompletion(Completion completion) {
    completion_ = std::move(completion);
    if (!targetSet_) {
        targetSet_ = true;
        connect(this, &QPushButton::clicked, this, [this] { buttonAction(); });
    }
}

void ZemLeftBarLitstCell::buttonAction() {
    if (status_ != 0) return;
    setStatus(1);
    if (completion_) completion_(this);
}

void ZemLeftBarLitstCell::setStatus(std::uint64_t status) {
    if (status == status_) return;
    status_ = status;
    if (status_ != 0) {
        setTitleColor(highlightColor_);
        if (iconView_) iconView_->setPixmap(highlightImage_);
        layerBackground_ = QColor::fromRgbF(0, 115.0f / 255.0f, 206.0f / 255.0f, 1);
    } else {
        setTitleColor(normalColor_);
        if (iconView_) iconView_->setPixmap(normalImage_);
        layerBackground_ = Qt::transparent;
    }
    setNeedsDisplay();
}

void ZemLeftBarLitstCell::setNormalImage(const QPixmap& image) {
    normalImage_ = image;
    if (status_ == 0 && iconView_) iconView_->setPixmap(image);
}

void ZemLeftBarLitstCell::setHighlightImage(const QPixmap& image) {
    highlightImage_ = image;
    if (status_ == 1 && iconView_) iconView_->setPixmap(image);
}

void ZemLeftBarLitstCell::setNormalColor(const QColor& color) {
    normalColor_ = color;
    if (status_ == 0) setTitleColor(color);
}

void ZemLeftBarLitstCell::setHighlightColor(const QColor& color) {
    highlightColor_ = color;
    if (status_ == 1) setTitleColor(color);
}

void ZemLeftBarLitstCell::setNeedsDisplay() {
    if (parentWidget()) update();
}

void ZemLeftBarLitstCell::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (layerBackground_.alpha() > 0) painter.fillRect(rect(), layerBackground_);
}
