// A helper built on the scaffold for its tests: the identity of a test pair, the version the
// build gives it, and one operation of its own that answers with its argument, its pid and its
// user, logging the call through the helper log.
#include <unistd.h>

#include "joindomain/scaffold/EmbeddedPlist.h"
#include "joindomain/scaffold/Helper.h"
#include "joindomain/scaffold/HelperMain.h"
#include "joindomain/scaffold/HelperProtocol.h"

HELPERSCAFFOLD_EMBED_PLISTS("com.velmora.ScaffoldTest", TEST_HELPER_VERSION, "com.velmora.ScaffoldTestApp");

namespace {

const helperscaffold::HelperIdentity kIdentity{"com.velmora.ScaffoldTest",
                                               "com.velmora.ScaffoldTestApp",
                                               "ScaffoldTest start to run.",
                                               "com.velmora.scaffoldtest.logger",
                                               "Logs/ScaffoldTest",
                                               "ScaffoldTest-Logger",
                                               "ScaffoldTest"};

class TestHelper : public helperscaffold::Helper {
  public:
    TestHelper() : Helper(kIdentity) {
        exportOperation("echo:completion:", [this](const archive::Array& args, const ReplyBlock& reply) {
            std::string text = helperscaffold::textArgument(args, 0).value_or("");
            writeLog("echo " + text, helperscaffold::HSLogger::kInfo);
            if (reply) reply({text, int64_t{::getpid()}, int64_t{::geteuid()}});
        });
    }
};

}  // namespace

int main() {
    static TestHelper helper;
    return helperscaffold::runHelperMain(helper);
}
