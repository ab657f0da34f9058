// Text measurement for the UI's string helpers: the size a text needs in a font, wrapped to a width.
#pragma once

#include <QFont>
#include <QSizeF>
#include <QString>

namespace Extension {

// Width and height of the text laid out in `font`, wrapping at words (or anywhere when a word is wider
// than the line) within `maxSize.width()`; each side is at most the corresponding side of `maxSize`.
// Needs a QGuiApplication.
QSizeF sizeWithText(const QString& text, const QFont& font, const QSizeF& maxSize);

}  // namespace Extension
