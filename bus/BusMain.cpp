#include "BusMain.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string>

#include "bus/CommonTimerHelp.h"
#include "bus/ReportConnectionManager.h"
#include "bus/ReportTimerHooks.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/fsevents/EventStream.h"
#include "common/logger/LogSink.h"
#include "platform/paths/Paths.h"
#include "common/server/ZemServerConfig.h"

using common::ZemServerConfig;
using common::processLog;

namespace {

// Reloads the server configuration when .ZemConfig changes (3 s latency).
std::unique_ptr<fsevents::EventStream> startUIResourcesFileListen() {
    auto stream = std::make_unique<fsevents::EventStream>(
        std::vector<std::string>{paths::serverConfigFile()}, std::chrono::seconds(3),
        dispatch::WorkQueue::create("com.velmora.Tamber.filelistener"),
        [](const std::vector<std::string>&) { ZemServerConfig::sharedInstance().updateServerConfig(); });
    std::string error;
    if (!stream->start(&error)) processLog().writeLog("config watcher not started: " + error);
    return stream;
}

}  // namespace

int busMain(int argc, char* argv[], uid_t realUid) {
    processLog().writeLog("-------------------------- Bus process main start --------------------------");
    if (argc < 2) return 0;
    if (realUid != 0) return -1;
    std::string mode = argv[1];
    std::transform(mode.begin(), mode.end(), mode.begin(), [](unsigned char c) { return std::tolower(c); });
    if (mode != "-run") return 0;

    // Kept for the life of the process.
    static ReportConnectionManager connections;
    connections.registerConnection();
    CommonTimerHelp::Hooks hooks = bus::reportTimerHooks();
    static CommonTimerHelp timer(std::move(hooks));
    timer.startTimer();
    static auto listener = startUIResourcesFileListen();
    dispatch::MainLoop::shared().run();
    return 0;
}
