// Ducene: the domain-join app. It makes sure its helper is installed (asking an administrator
// when needed) and exits when that fails; otherwise it shows the status window.
#include <QApplication>

#include "AppDelegate.h"
#include "DuceneHelperManager.h"
#include "common/logger/FaultHandler.h"
#include "joindomain/scaffold/RootApp.h"
#include "platform/qt/QtMainQueue.h"

int main(int, char* argv[]) {
    if (helperscaffold::elevateThroughAdministratorPrompt()) return 1;
    if (!helperscaffold::startRootApp()) return 1;
    // Root's instance, in the environment it rebuilt: its log lies under that root.
    common::installFaultHandler();
    // Root takes no option from its caller: Qt sees the program's name alone.
    static int qtArgc = 1;
    static char* qtArgv[] = {argv[0], nullptr};
    QApplication app(qtArgc, qtArgv);
    QtMainQueue mainQueue;
    return helperscaffold::runAppWithHelper(ducene::DuceneHelperManager::sharedInstance(), [&app] {
        ducene::AppDelegate delegate;
        delegate.applicationDidFinishLaunching();
        return app.exec();
    });
}
