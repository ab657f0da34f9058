// Hux, the user's menu-bar app. One copy per user: a second start brings the running copy forward
// and ends with 1. A first argument other than "-agent" is only logged (status 0); otherwise the
// interface starts behind its status item.
#include <unistd.h>

#include <QApplication>
#include <optional>
#include <string>

#include "AppDelegate.h"
#include "ProcessSignals.h"
#include "SessionAssembly.h"
#include "SingleInstance.h"
#include "common/logger/FaultHandler.h"
#include "common/logger/LogSink.h"
#include "platform/dispatch/WorkQueue.h"
#include "platform/qt/QtMainQueue.h"
#include "ui/session/log/ZemLogHelper.h"
#include "ui/session/login/RavAvizaLoginHelper.h"

int main(int argc, char** argv) {
    ZemLogHelper& log = ZemLogHelper::sharedInstance();
    common::installFaultHandler();

    // Ready to be brought forward before the lock can be found.
    hux::ProcessSignals::installHandlers();
    hux::SingleInstance instance;
    std::optional<pid_t> running;
    if (!instance.acquire(::geteuid(), &running)) {
        if (running) hux::SingleInstance::activate(*running);
        return 1;
    }

    if (argc >= 2 && std::string(argv[1]) != "-agent") {
        log.writeLog(std::string(" run app argv ") + argv[1]);
        log.flush();
        return 0;
    }

    QApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("Hux"));
    app.setDesktopFileName(QString::fromLatin1(hux::SingleInstance::kBundleIdentifier));
    // The app lives on behind its status item when its windows close.
    app.setQuitOnLastWindowClosed(false);
    QtMainQueue mainQueue;

    hux::RavAvizaLoginHelper::sharedInstance().setPeers(hux::appSessionPeers());
    AppDelegate delegate;
    hux::ProcessSignals processSignals;
    QObject::connect(&processSignals, &hux::ProcessSignals::activateRequested, &delegate,
                     [&delegate] { delegate.activateFromOtherInstance(); });
    QObject::connect(&processSignals, &hux::ProcessSignals::terminateRequested, &delegate,
                     [&delegate] { delegate.terminate(); });
    dispatch::WorkQueue::main()->dispatch([&delegate] { delegate.applicationDidFinishLaunching(); });
    const int status = app.exec();
    log.flush();
    return status;
}
