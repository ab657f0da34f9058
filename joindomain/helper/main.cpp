// Sorrel: the domain-join helper program, started by launchd when the domain-join app connects.
#include "Sorrel.h"
#include "common/logger/FaultHandler.h"
#include "joindomain/scaffold/EmbeddedPlist.h"
#include "joindomain/scaffold/HelperMain.h"

HELPERSCAFFOLD_EMBED_PLISTS("com.velmora.Sorrel", SORREL_VERSION, "com.velmora.Ducene");

int main() {
    common::installFaultHandler();
    static sorrel::Sorrel helper;
    return helperscaffold::runHelperMain(helper);
}
