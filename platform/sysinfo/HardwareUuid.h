// The machine's hardware UUID, the same in every process. The DMI product UUID is readable by
// root only, so the root daemon keeps a world-readable copy in the machine support folder that
// other processes read; without DMI data every process derives it from /etc/machine-id.
#pragma once

#include <optional>
#include <string>

namespace sysinfo {

// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" in upper case, or "" when no source gives one.
// Order: the DMI product UUID (refreshing the copy when running as root), the root daemon's
// copy, then /etc/machine-id laid out as a UUID.
std::string hardwareUuid();

// A UUID text in the canonical upper-case form; nothing for malformed text or the all-zero and
// all-F placeholders that firmware leaves unset.
std::optional<std::string> canonicalUuid(const std::string& text);

}  // namespace sysinfo
