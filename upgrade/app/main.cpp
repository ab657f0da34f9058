// Marlet, the upgrade app's executable: root check, older instances removed, the connection
// vended for the daemon, then the main loop waits for orders (or starts the window flow at once
// when the second argument is "-1").
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>

#include "AppDelegate.h"
#include "InstanceGuard.h"
#include "LogUpgradeHelper.h"
#include "SessionWindow.h"
#include "ZemIPCConnection.h"
#include "common/logger/FaultHandler.h"
#include "common/logger/LogSink.h"
#include "common/logger/RotatingLogger.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/paths/Paths.h"
#include "upgrade/engine/ZemUpgradeHelper.h"

using common::LogUpgradeErrorHelper;
using common::setProcessLog;

int main(int argc, char** argv) {
    if (::getuid() != 0) return -1;
    setProcessLog(LogUpgradeErrorHelper::sharedInstance());
    common::installFaultHandler();

    bool locked = false;
    instance::exitPreProcess(paths::runtimeFolder() + "/com.velmora.Perrow.lock", std::chrono::seconds(5),
                             &locked);
    if (!locked) LogUpgradeHelper::sharedInstance().writeLog("upgrade app lock not taken", 0);

    std::optional<std::string> secondArgument;
    if (argc >= 3) secondArgument = argv[2];

    ConnectionManager::sharedInstance().registerUpgradeConnection();

    // The window program lies beside this executable in the bundle.
    std::string self = instance::executableOf(::getpid()).value_or(argv[0]);
    SessionWindow::Options windowOptions;
    windowOptions.program = (std::filesystem::path(self).parent_path() / "PerrowWindow").string();
    windowOptions.consoleUser = [] { return SessionWindow::defaultConsoleUser(); };
    SessionWindow window(windowOptions);

    AppDelegate::Options options;
    options.window = &window;
    AppDelegate delegate(std::move(options));
    dispatch::WorkQueue::main()->dispatch(
        [&delegate, secondArgument] { delegate.applicationDidFinishLaunching(secondArgument); });
    dispatch::MainLoop::shared().run();
    return 0;
}
