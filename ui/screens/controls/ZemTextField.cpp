#include "ZemTextField.h"

#include <QApplication>
#include <QPainter>

#include "ColorRGB.h"

namespace {

void setTextColor(QLineEdit* field, const QColor& color) {
    QPalette palette = field->palette();
    palette.setColor(QPalette::Text, color);
    field->setPalette(palette);
}

void setPlaceholderColor(QLineEdit* field, const QColor& color) {
    QPalette palette = field->palette();
    palette.setColor(QPalette::PlaceholderText, color);
    field->setPalette(palette);
}

// A one-pixel line just inside the widget's edge.
void strokeFrame(QWidget* widget, const QColor& color) {
    QPainter painter(widget);
    painter.setPen(QPen(color, 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(widget->rect().adjusted(0, 0, -1, -1));
}

}  // namespace

ZemTextField::ZemTextField(QWidget* parent) : QLineEdit(parent) {
    setTextColor(this, RGB::fromRGB(0x333333));
}

void ZemTextField::applyPlaceholderStyle() {
    if (placeholderText().isEmpty()) return;
    setPlaceholderColor(this, RGB::fromRGB(0x999999));
}

bool ZemTextField::event(QEvent* event) {
    // Polish comes after the .ui has set the placeholder and before the first show.
    if (event->type() == QEvent::Polish) applyPlaceholderStyle();
    return QLineEdit::event(event);
}

void ZemTextField::focusInEvent(QFocusEvent* event) {
    QLineEdit::focusInEvent(event);
    applyPlaceholderStyle();
    if (textfieldDelegate_) textfieldDelegate_->notifyToBecomeFirstResponder(this);
}

bool ZemTextField::performKeyEquivalent(QKeyEvent* event) {
    const Qt::KeyboardModifiers mods = event->modifiers() & ~Qt::KeypadModifier;
    if (mods != Qt::ControlModifier) return false;
    const char* slot = nullptr;
    switch (event->key()) {
        case Qt::Key_X:
            slot = "cut";
            break;
        case Qt::Key_C:
            slot = "copy";
            break;
        case Qt::Key_V:
            slot = "paste";
            break;
        case Qt::Key_A:
            slot = "selectAll";
            break;
        default:
            return false;
    }
    QWidget* target = window() ? window()->focusWidget() : nullptr;
    if (!target) target = QApplication::focusWidget();
    if (!target) return false;
    return QMetaObject::invokeMethod(target, slot, Qt::DirectConnection);
}

void ZemTextField::keyPressEvent(QKeyEvent* event) {
    if (performKeyEquivalent(event)) {
        event->accept();
        return;
    }
    QLineEdit::keyPressEvent(event);
}

void ZemTextField::paintEvent(QPaintEvent* event) {
    QLineEdit::paintEvent(event);
    strokeFrame(this, RGB::fromRGB(0xDDDDDD));
}

ZemTextColorField::ZemTextColorField(QWidget* parent) : QLineEdit(parent) {
    setTextColor(this, RGB::fromRGB(0xA9A9A9));
}

ZemSecureTextField::ZemSecureTextField(QWidget* parent) : QLineEdit(parent) {
    setEchoMode(QLineEdit::Password);
    setTextColor(this, Qt::black);
}

bool ZemSecureTextField::event(QEvent* event) {
    if (event->type() == QEvent::Polish && !placeholderText().isEmpty()) {
        setPlaceholderColor(this, RGB::fromRGB(0xA9A9A9));
    }
    return QLineEdit::event(event);
}

ZemSecureBorderField::ZemSecureBorderField(QWidget* parent) : QLineEdit(parent) {
    setEchoMode(QLineEdit::Password);
    setTextColor(this, Qt::black);
}

void ZemSecureBorderField::paintEvent(QPaintEvent* event) {
    QLineEdit::paintEvent(event);
    strokeFrame(this, RGB::fromRGB(0xA9A9A9));
}
