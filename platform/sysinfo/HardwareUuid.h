// The machine's hardware UUID, the same in every process. The DMI product UUID is readable by
// root only, so root keeps a world-readable copy of its answer in the machine support folder that
// other processes read; without DMI data every process derives it from /etc/machine-id.
#pragma once

#include <optional>
#include <string>

namespace sysinfo {

// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" in upper case, or "" when no source gives one.
// Root: the DMI product UUID, else /etc/machine-id laid out as a UUID; root refreshes its copy
// whenever DMI data exists. Other processes: root's copy, else a DMI UUID they can read, else ""
// while a DMI UUID exists that they cannot read, else the machine id.
std::string hardwareUuid();

// A UUID text in the canonical upper-case form; nothing for malformed text or the all-zero and
// all-F placeholders that firmware leaves unset.
std::optional<std::string> canonicalUuid(const std::string& text);

}  // namespace sysinfo
