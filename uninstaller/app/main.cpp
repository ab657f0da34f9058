// Quillet: the uninstaller app. It makes sure its helper Wendle is installed and current (asking
// an administrator when it must be installed) and exits without it; otherwise it shows its window.
#include <QApplication>

#include "AppDelegate.h"
#include "platform/qt/QtMainQueue.h"

int main(int argc, char** argv) {
    if (helperscaffold::elevateThroughAdministratorPrompt(argc, argv)) return 1;
    quillet::AppHelperManager& manager = quillet::AppHelperManager::sharedInstance();
    return helperscaffold::runAppWithHelper(manager, [&] {
        QApplication app(argc, argv);
        QtMainQueue mainQueue;
        quillet::AppDelegate delegate(manager);
        delegate.applicationDidFinishLaunching();
        int status = app.exec();
        delegate.applicationWillTerminate();
        return status;
    });
}
