#include "ZemHoverButtonCell.h"

#include <QAbstractButton>

ZemHoverButtonCell::ZemHoverButtonCell(QAbstractButton* button) : QObject(button), button_(button) {}

void ZemHoverButtonCell::_initialBgImageView() {
    if (!button_) return;
    if (bgImageView_) {
        bgImageView_->setGeometry(button_->geometry());
        return;
    }
    QWidget* parent = button_->parentWidget();
    if (!parent) return;
    bgImageView_ = new QLabel(parent);
    bgImageView_->setScaledContents(true);
    bgImageView_->setAttribute(Qt::WA_TransparentForMouseEvents);
    bgImageView_->setGeometry(button_->geometry());
    if (!pendingImage_.isNull()) bgImageView_->setPixmap(pendingImage_);
    bgImageView_->stackUnder(button_);
    bgImageView_->setVisible(!button_->isHidden());
}

void ZemHoverButtonCell::setBgImage(const QPixmap& image) {
    pendingImage_ = image;
    if (bgImageView_) bgImageView_->setPixmap(image);
}

void ZemHoverButtonCell::setHiddenBgView(bool hidden) {
    if (bgImageView_) bgImageView_->setHidden(hidden);
}
