// dscl: see GroupMembership.h.
#include "platform/tools/ToolMain.h"
#include "platform/tools/dscl/GroupMembership.h"

int main(int argc, char* argv[]) {
    return tooling::finish(dscl::run(tooling::arguments(argc, argv)));
}
