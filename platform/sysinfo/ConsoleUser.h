// The user signed in at the machine's own screen: the active session of logind's seat0, with the
// utmp records of local terminals and displays as the fallback where logind keeps no seat data.
#pragma once

#include <optional>
#include <string>

namespace sysinfo {

// The console user's short name; nothing when nobody is signed in locally (a login screen's
// greeter session does not count).
std::optional<std::string> consoleUser();

// The two sources on their own, for callers and tests that need to tell them apart.
std::optional<std::string> consoleUserFromLogind();
std::optional<std::string> consoleUserFromUtmp();

}  // namespace sysinfo
