// The system installer's stand-in: `installer -pkg FILE -target /` installs the Debian package
// FILE with dpkg into the product's filesystem root. Exit status 0 only when dpkg succeeded.
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/paths/Paths.h"
#include "platform/spawn/Spawn.h"
#include "platform/tools/ToolMain.h"

int main(int argc, char** argv) {
    if (auto answered =
            tooling::answerHelpOrVersion(argc, argv, "installer", "usage: installer -pkg FILE -target /\n"))
        return *answered;
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() != 4 || args[0] != "-pkg" || args[2] != "-target" || args[3] != "/" || args[1].empty()) {
        std::fprintf(stderr, "usage: installer -pkg FILE -target /\n");
        return 2;
    }
    std::string root = paths::root();
    if (root.empty()) root = "/";
    spawn::Options options;
    options.program = "dpkg";
    options.argv = {"dpkg", "--root=" + root, "-i", "--", args[1]};
    options.output = spawn::Stream::inherit();
    options.error = spawn::Stream::inherit();
    int error = 0;
    auto child = spawn::start(options, &error);
    if (!child) {
        std::fprintf(stderr, "installer: cannot run dpkg (errno %d)\n", error);
        return 1;
    }
    int status = 0;
    while (::waitpid(child->pid, &status, 0) < 0) {
        if (errno != EINTR) return 1;
    }
    int code = spawn::exitStatusFromWait(status);
    return code == 0 ? 0 : 1;
}
