// PerrowWindow: the upgrade window in the console user's session. It listens in the user's
// runtime folder for the root upgrade app and ends when that app's connection goes away, or when
// none comes within a minute.
#include <unistd.h>

#include <QApplication>
#include <QTimer>

#include "WindowService.h"
#include "ZemUpgradeWindow.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    ZemUpgradeWindow window;
    WindowService service(window, ::getuid());
    service.onDisconnected = [] { QCoreApplication::exit(0); };
    if (!service.start()) return 1;
    QTimer::singleShot(60000, &app, [&service] {
        if (!service.connected()) QCoreApplication::exit(0);
    });
    int status = app.exec();
    service.stop();
    return status;
}
