#include "StringExtensionSize.h"

#include <QTextLayout>
#include <QTextOption>
#include <algorithm>

namespace Extension {

namespace {
// Qt lays text out in fixed point that overflows near 2^25; a caller's "unlimited" size is cut to this.
constexpr qreal kLargestSide = 1 << 24;
}  // namespace

QSizeF sizeWithText(const QString& text, const QFont& font, const QSizeF& maxSize) {
    const qreal maxWidth = std::clamp<qreal>(maxSize.width(), 0, kLargestSide);
    const qreal maxHeight = std::clamp<qreal>(maxSize.height(), 0, kLargestSide);

    // The layout breaks lines only at line separators, not at newline characters.
    QString lines = text;
    lines.replace(QStringLiteral("\r\n"), QChar(QChar::LineSeparator));
    lines.replace(QChar('\n'), QChar(QChar::LineSeparator));
    lines.replace(QChar('\r'), QChar(QChar::LineSeparator));

    QTextLayout layout(lines, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    qreal width = 0;
    qreal height = 0;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(maxWidth);
        line.setPosition(QPointF(0, height));
        height += line.height();
        width = std::max(width, line.naturalTextWidth());
    }
    layout.endLayout();
    return {std::min(width, maxWidth), std::min(height, maxHeight)};
}

}  // namespace Extension
