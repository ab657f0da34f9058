// profiles: installs (-I -F PATH) and removes (-R -p IDENTIFIER) configuration profiles as
// NetworkManager connections. Exit status 0 on success; errors on standard error.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "ProfileStore.h"
#include "platform/tools/ToolMain.h"

namespace {

constexpr const char* kUsage = "usage: profiles -I -F PATH | profiles -R -p IDENTIFIER\n";

}  // namespace

int main(int argc, char** argv) {
    if (auto answered = tooling::answerHelpOrVersion(argc, argv, "profiles", kUsage)) return *answered;
    std::string a1 = argc > 1 ? argv[1] : "";
    std::string a2 = argc > 2 ? argv[2] : "";
    if (argc != 4) {
        std::fputs(kUsage, stderr);
        return 64;
    }
    if (::geteuid() != 0) {
        std::fprintf(stderr, "profiles: must run as root\n");
        return 77;
    }
    profiles::Outcome outcome;
    if (a1 == "-I" && a2 == "-F") {
        outcome = profiles::installProfile(argv[3]);
    } else if (a1 == "-R" && a2 == "-p") {
        outcome = profiles::removeProfile(argv[3]);
    } else {
        std::fputs(kUsage, stderr);
        return 64;
    }
    if (!outcome.ok) {
        std::fprintf(stderr, "%s\n", outcome.message.c_str());
        return 1;
    }
    return 0;
}
