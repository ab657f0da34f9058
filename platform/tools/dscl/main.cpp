// dscl: see GroupMembership.h.
#include "platform/tools/ToolMain.h"
#include "platform/tools/dscl/GroupMembership.h"

int main(int argc, char* argv[]) {
    if (auto answered = tooling::answerHelpOrVersion(
            argc, argv, "dscl", "usage: dscl . -merge /groups/admin GroupMembership <user>...\n"))
        return *answered;
    return tooling::finish(dscl::run(tooling::arguments(argc, argv)));
}
