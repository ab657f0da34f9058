#include "StringExtension.h"

#include <QRegularExpression>

namespace Extension {

bool isLetter(const QString& text) {
    for (QChar unit : text) {
        const auto low = static_cast<unsigned char>(unit.unicode() & 0xFF);
        if ((low >= 'A' && low <= 'Z') || (low >= 'a' && low <= 'z')) return true;
    }
    return false;
}

bool isValidatIP(const QString& text) {
    if (text.isEmpty()) return false;
    if (isLetter(text) && text.contains(QLatin1Char('.'))) return true;
    static const QRegularExpression address(
        QStringLiteral("^([01]?\\d\\d?|2[0-4]\\d|25[0-5])\\.([01]?\\d\\d?|2[0-4]\\d|25[0-5])\\."
                       "([01]?\\d\\d?|2[0-4]\\d|25[0-5])\\.([01]?\\d\\d?|2[0-4]\\d|25[0-5])$"));
    return address.match(text).hasMatch();
}

}  // namespace Extension
