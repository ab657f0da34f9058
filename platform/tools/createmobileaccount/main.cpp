// createmobileaccount: see MobileAccount.h.
#include "platform/tools/ToolMain.h"
#include "platform/tools/createmobileaccount/MobileAccount.h"

int main(int argc, char* argv[]) {
    if (auto answered = tooling::answerHelpOrVersion(argc, argv, "createmobileaccount",
                                                     "usage: createmobileaccount -n <user>\n"))
        return *answered;
    return tooling::finish(mobileaccount::run(tooling::arguments(argc, argv)));
}
