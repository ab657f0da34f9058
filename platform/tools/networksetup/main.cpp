// networksetup: see NetworkSetup.h.
#include "platform/tools/ToolMain.h"
#include "platform/tools/networksetup/NetworkSetup.h"

int main(int argc, char* argv[]) {
    return tooling::finish(networksetup::run(tooling::arguments(argc, argv)));
}
