// dsconfigad: see DirectoryBinding.h.
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/tools/ToolMain.h"
#include "platform/tools/dsconfigad/DirectoryBinding.h"

namespace {

// Standard input when it is not a terminal (a password handed over by the caller), at most 4 KiB.
std::string readInput() {
    std::string input;
    if (::isatty(STDIN_FILENO)) return input;
    char buffer[512];
    while (input.size() < 4096) {
        ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) break;
        input.append(buffer, static_cast<size_t>(n));
    }
    return input;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (auto answered = tooling::answerHelpOrVersion(
            argc, argv, "dsconfigad",
            "usage: dsconfigad -show | -a <computer> -domain <domain> -u <user> [-p <password>] [-ou <base>] "
            "| "
            "-r [-f] | -mobile enable|disable [-mobileconfirm enable|disable]\n"))
        return *answered;
    const std::vector<std::string> args = tooling::arguments(argc, argv);
    auto has = [&args](const char* word) { return std::find(args.begin(), args.end(), word) != args.end(); };
    // The password comes on standard input where the arguments name none.
    const bool removing = has("-r") || has("-remove");
    const bool wantsInput = (!args.empty() && args[0] == "-a" && !has("-p")) ||
                            (removing && !has("-f") && !has("-force") && !has("-password"));
    return tooling::finish(dsconfigad::run(args, wantsInput ? readInput() : std::string()));
}
