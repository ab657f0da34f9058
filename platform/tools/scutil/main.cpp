// scutil: see HostNames.h.
#include "platform/tools/ToolMain.h"
#include "platform/tools/scutil/HostNames.h"

int main(int argc, char* argv[]) {
    return tooling::finish(scutil::run(tooling::arguments(argc, argv)));
}
