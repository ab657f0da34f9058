// Wendle: the uninstaller's privileged helper, started by launchd when the uninstaller connects.
#include "Helper.h"
#include "common/logger/FaultHandler.h"
#include "joindomain/scaffold/EmbeddedPlist.h"
#include "joindomain/scaffold/HelperMain.h"

HELPERSCAFFOLD_EMBED_PLISTS("com.velmora.Wendle", WENDLE_VERSION, "com.velmora.Quillet");

int main() {
    common::installFaultHandler();
    return helperscaffold::runHelperMain(wendle::Helper::sharedInstance());
}
