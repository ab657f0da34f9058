// Ducene: the domain-join app. It makes sure its helper is installed (asking an administrator
// when needed) and exits when that fails; otherwise it shows the status window.
#include <QApplication>

#include "AppDelegate.h"
#include "DuceneHelperManager.h"
#include "platform/qt/QtMainQueue.h"

int main(int argc, char* argv[]) {
    if (helperscaffold::elevateThroughAdministratorPrompt(argc, argv)) return 1;
    QApplication app(argc, argv);
    QtMainQueue mainQueue;
    return helperscaffold::runAppWithHelper(ducene::DuceneHelperManager::sharedInstance(), [&app] {
        ducene::AppDelegate delegate;
        delegate.applicationDidFinishLaunching();
        return app.exec();
    });
}
