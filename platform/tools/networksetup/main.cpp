// networksetup: see NetworkSetup.h.
#include "platform/tools/ToolMain.h"
#include "platform/tools/networksetup/NetworkSetup.h"

int main(int argc, char* argv[]) {
    if (auto answered = tooling::answerHelpOrVersion(
            argc, argv, "networksetup",
            "usage: networksetup -listallnetworkservices | -setautoproxystate <service> on|off | "
            "-setautoproxyurl <service> <url> | -getairportnetwork <device>\n"))
        return *answered;
    return tooling::finish(networksetup::run(tooling::arguments(argc, argv)));
}
