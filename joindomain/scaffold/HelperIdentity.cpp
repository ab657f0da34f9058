#include "HelperIdentity.h"

namespace helperscaffold {

const HelperIdentity& domainJoinIdentity() {
    static const HelperIdentity identity{
        "com.velmora.Sorrel",
        "com.velmora.Ducene",
        "Ducene start to run!",
        "com.velmora.RavAviza.ducene.logger",
        "Logs/RavAviza/v5/Logs",
        "Ducene-Logger",
        "Sorrel",
    };
    return identity;
}

const HelperIdentity& uninstallIdentity() {
    static const HelperIdentity identity{
        "com.velmora.Wendle",       "com.velmora.Quillet",
        "Wendle start to run.",     "com.velmora.RavAviza.uninstaller.logger",
        "Logs/RavAvizaUninstaller", "RavAvizaUninstaller-Logger",
        "RavAvizaInstallerHelper",
    };
    return identity;
}

}  // namespace helperscaffold
