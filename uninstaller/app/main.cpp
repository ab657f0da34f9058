// Quillet: the uninstaller app. It makes sure its helper Wendle is installed and current (asking
// an administrator when it must be installed) and exits without it; otherwise it shows its window.
#include <QApplication>

#include "AppDelegate.h"
#include "common/logger/FaultHandler.h"
#include "joindomain/scaffold/RootApp.h"
#include "platform/qt/QtMainQueue.h"

int main(int, char** argv) {
    if (helperscaffold::elevateThroughAdministratorPrompt()) return 1;
    if (!helperscaffold::startRootApp()) return 1;
    // Root's instance, in the environment it rebuilt: its log lies under that root.
    common::installFaultHandler();
    quillet::AppHelperManager& manager = quillet::AppHelperManager::sharedInstance();
    return helperscaffold::runAppWithHelper(manager, [&] {
        // Root takes no option from its caller: Qt sees the program's name alone.
        static int qtArgc = 1;
        static char* qtArgv[] = {argv[0], nullptr};
        QApplication app(qtArgc, qtArgv);
        QtMainQueue mainQueue;
        quillet::AppDelegate delegate(manager);
        delegate.applicationDidFinishLaunching();
        int status = app.exec();
        delegate.applicationWillTerminate();
        return status;
    });
}
