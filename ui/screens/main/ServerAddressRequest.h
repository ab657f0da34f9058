// The per-user request that names the management server: domianorip.archive in the user's
// RavAvizaL folder, which the daemon turns into the machine-wide server configuration. Both
// address entries (the main view's first tab and the server sheet) write it.
#pragma once

#include <QString>

namespace hux {

inline constexpr const char* kDomainOrIpFile = "domianorip.archive";

// Writes [[host, port], [host, port]] (intranet and extranet alike); false when it was not written.
bool writeServerAddressRequest(const QString& host, const QString& port);

// True when nothing is left after the decimal digits are taken from both ends of the text; the
// main view's entry also refuses an empty text and "0".
bool isPureNumandCharacters(const QString& text, bool refuseEmptyAndZero);

}  // namespace hux
