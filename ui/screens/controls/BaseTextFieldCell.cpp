#include "BaseTextFieldCell.h"

#include <QFontMetricsF>
#include <QLineEdit>
#include <QPainter>
#include <cmath>

BaseTextFieldCell::BaseTextFieldCell(const QFont& font) : font_(font) {}

QRectF BaseTextFieldCell::adjustedFrameToVerticallyCenterText(const QRectF& frame) const {
    // Qt's descent is positive below the baseline, so ascender + descender reads ascent - descent.
    const QFontMetricsF metrics(font_);
    const double inset = std::floor(frame.height() * 0.5 - (metrics.ascent() - metrics.descent()));
    return frame.adjusted(0, inset, 0, -inset);
}

void BaseTextFieldCell::drawInteriorWithFrame(QPainter& painter, const QRectF& frame,
                                              const QString& text) const {
    painter.save();
    painter.setFont(font_);
    painter.drawText(adjustedFrameToVerticallyCenterText(frame), Qt::AlignLeft | Qt::AlignVCenter,
                     displayText(text));
    painter.restore();
}

void BaseTextFieldCell::editWithFrame(const QRectF& frame, QLineEdit* editor) const {
    if (!editor) return;
    editor->setFont(font_);
    editor->setGeometry(adjustedFrameToVerticallyCenterText(frame).toRect());
    editor->show();
    editor->setFocus();
}

void BaseTextFieldCell::selectWithFrame(const QRectF& frame, QLineEdit* editor, int start, int length) const {
    if (!editor) return;
    editWithFrame(frame, editor);
    editor->setSelection(start, length);
}

QString BaseSecureTextFieldCell::displayText(const QString& text) const {
    return QString(text.size(), QChar(0x2022));
}
