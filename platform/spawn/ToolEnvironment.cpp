#include "platform/spawn/ToolEnvironment.h"

#include <string_view>

#include "platform/paths/Paths.h"

extern char** environ;

namespace spawn {

namespace {
constexpr const char* kSearchPathAfterTools = ":/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
}  // namespace

std::vector<std::string> toolEnvironment() {
    std::vector<std::string> env;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        std::string_view text(*entry);
        std::string_view name = text.substr(0, text.find('='));
        if (name == "PATH" || name == "LANG" || name == "LC_ALL") continue;
        env.emplace_back(text);
    }
    env.push_back("PATH=" + paths::toolFolder() + kSearchPathAfterTools);
    env.emplace_back("LANG=C.UTF-8");
    env.emplace_back("LC_ALL=C.UTF-8");
    return env;
}

}  // namespace spawn
