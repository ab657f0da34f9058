// createmobileaccount: see MobileAccount.h.
#include "platform/tools/ToolMain.h"
#include "platform/tools/createmobileaccount/MobileAccount.h"

int main(int argc, char* argv[]) {
    return tooling::finish(mobileaccount::run(tooling::arguments(argc, argv)));
}
