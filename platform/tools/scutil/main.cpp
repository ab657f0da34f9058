// scutil: see HostNames.h.
#include "platform/tools/ToolMain.h"
#include "platform/tools/scutil/HostNames.h"

int main(int argc, char* argv[]) {
    if (auto answered = tooling::answerHelpOrVersion(
            argc, argv, "scutil", "usage: scutil --set|--get ComputerName|HostName|LocalHostName [name]\n"))
        return *answered;
    return tooling::finish(scutil::run(tooling::arguments(argc, argv)));
}
