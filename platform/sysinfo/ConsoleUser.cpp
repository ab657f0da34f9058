#include "ConsoleUser.h"

#include <utmp.h>

#include <cctype>
#include <cstring>
#include <vector>

#include "platform/core/FileIO.h"
#include "platform/paths/Paths.h"
#include "SysFiles.h"

namespace sysinfo {

namespace {

// Session ids are logind's own short tokens; anything else must not become a path.
bool plainSessionId(const std::string& id) {
    if (id.empty() || id.size() > 64) return false;
    for (char c : id) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-')) return false;
    }
    return true;
}

std::string fixedField(const char* field, size_t size) {
    return std::string(field, strnlen(field, size));
}

}  // namespace

std::optional<std::string> consoleUserFromLogind() {
    auto seat = readKeyValueFile(paths::under("/run/systemd/seats/seat0"));
    auto active = seat.find("ACTIVE");
    if (active == seat.end() || !plainSessionId(active->second)) return std::nullopt;
    auto session = readKeyValueFile(paths::under("/run/systemd/sessions/" + active->second));
    auto user = session.find("USER");
    if (user == session.end() || user->second.empty()) return std::nullopt;
    // A greeter or lock screen runs as a system account while nobody is signed in.
    if (auto cls = session.find("CLASS"); cls != session.end() && cls->second != "user") return std::nullopt;
    return user->second;
}

std::optional<std::string> consoleUserFromUtmp() {
    auto bytes = fileio::readFile(paths::under("/var/run/utmp"), 4u << 20);
    if (!bytes) return std::nullopt;
    // Graphical sessions (line or host ":N") rank above text consoles; remote terminals (pts) do
    // not count. Within a rank the latest login wins.
    std::optional<std::string> best;
    int bestRank = 0;
    int64_t bestTime = 0;
    for (size_t off = 0; off + sizeof(utmp) <= bytes->size(); off += sizeof(utmp)) {
        utmp record;
        std::memcpy(&record, bytes->data() + off, sizeof record);
        if (record.ut_type != USER_PROCESS) continue;
        std::string user = fixedField(record.ut_user, sizeof record.ut_user);
        std::string line = fixedField(record.ut_line, sizeof record.ut_line);
        std::string host = fixedField(record.ut_host, sizeof record.ut_host);
        if (user.empty()) continue;
        int rank = 0;
        if (line.starts_with(":") || host.starts_with(":")) {
            rank = 2;
        } else if (line.starts_with("tty") || line == "console") {
            rank = 1;
        }
        if (rank == 0) continue;
        int64_t when = record.ut_tv.tv_sec;
        if (rank > bestRank || (rank == bestRank && when >= bestTime)) {
            best = user;
            bestRank = rank;
            bestTime = when;
        }
    }
    return best;
}

std::optional<std::string> consoleUser() {
    if (auto user = consoleUserFromLogind()) return user;
    return consoleUserFromUtmp();
}

}  // namespace sysinfo
