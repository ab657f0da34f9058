// Wendle: the uninstaller's privileged helper, started by launchd when the uninstaller connects.
#include "Helper.h"
#include "joindomain/scaffold/EmbeddedPlist.h"
#include "joindomain/scaffold/HelperMain.h"

HELPERSCAFFOLD_EMBED_PLISTS("com.velmora.Wendle", WENDLE_VERSION, "com.velmora.Quillet");

int main() {
    return helperscaffold::runHelperMain(wendle::Helper::sharedInstance());
}
