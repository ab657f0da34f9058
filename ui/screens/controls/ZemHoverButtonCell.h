// The helper of a ZemHoverButton that owns its background image view: an image label in the
// button's parent, right under the button and of the button's geometry, stretched to fill.
#pragma once

#include <QLabel>
#include <QObject>
#include <QPixmap>
#include <QPointer>

class QAbstractButton;

class ZemHoverButtonCell : public QObject {
    Q_OBJECT
  public:
    explicit ZemHoverButtonCell(QAbstractButton* button);

    // Creates the background view under the button, or moves it to the button's geometry.
    // Without a parent widget there is nowhere to put it, and nothing happens.
    void _initialBgImageView();
    void setBgImage(const QPixmap& image);
    void setHiddenBgView(bool hidden);

    // Null until _initialBgImageView made it.
    QLabel* bgImageView() const { return bgImageView_; }

  private:
    QPointer<QAbstractButton> button_;
    QPointer<QLabel> bgImageView_;
    QPixmap pendingImage_;
};
