// Text checks of the server-address entries (the main view's first tab and the server sheet).
#pragma once

#include <QString>

namespace Extension {

// False for an empty text; otherwise true when some UTF-16 unit, taken by its low 8 bits, is an
// ASCII letter.
bool isLetter(const QString& text);
// False for an empty text. A text with a letter and a dot counts as a host name; anything else
// must be a dotted IPv4 address, each number 0 to 255 (leading zeros allowed).
bool isValidatIP(const QString& text);

}  // namespace Extension
