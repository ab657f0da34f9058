// The file monitor of the daemon: turns changes of the console's login state, of .ZemConfig and
// of the console user's debug.config into actions (watermark kill and debug stream re-targeted,
// server list reloaded, automatic-proxy state of every network service switched).
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/WorkQueue.h"
#include "platform/fsevents/EventStream.h"

namespace hollin {

// What the monitor asks of the watchdog that owns it.
class ZemFileMonitorHelper {
  public:
    virtual ~ZemFileMonitorHelper() = default;
    // Kills the watermark app.
    virtual void existWaterMark() = 0;
    // Whether the UI app runs.
    virtual bool isUserAppExist() = 0;
    // The console-user watermark kill.
    virtual void launchZem(int reason) = 0;
};

// The watchdog's process checks on their own, for a monitor that runs without the watchdog:
// processes are found by their executable path under /proc and each pid is signalled.
class ZemProcessChecks : public ZemFileMonitorHelper {
  public:
    void existWaterMark() override;
    bool isUserAppExist() override;
    void launchZem(int reason) override;
};

class ZemFileMonitor {
  public:
    struct Options {
        // How long a stream gathers events into one batch.
        std::chrono::milliseconds latency{3000};
        // The console owner's short name; nothing when nobody is signed in.
        std::function<std::optional<std::string>()> consoleOwner;
        // Reloads the server list; the shared server configuration's updateServerConfig by default.
        std::function<void()> updateServerConfig;
    };

    // The helper must outlive the monitor.
    explicit ZemFileMonitor(ZemFileMonitorHelper& helper);
    ZemFileMonitor(ZemFileMonitorHelper& helper, Options options);
    // Stops both streams and waits for the work already queued.
    ~ZemFileMonitor();
    ZemFileMonitor(const ZemFileMonitor&) = delete;
    ZemFileMonitor& operator=(const ZemFileMonitor&) = delete;

    // Starts the main stream and then the debug stream of the current console owner.
    void startListenFileChange();
    // Replaces the debug stream by one on the current console owner's debug.config; none when
    // there is no console owner. Runs on the monitor queue, after what is queued there.
    void addDebugModeConfigListen();
    // Sets the automatic-proxy state ("on" or "off") of every network service, on the proxy queue.
    void configPacState(const std::string& state);
    // Kills the watermark app, logging the pids.
    static void existWaterMark();

    // The file whose change means the console's login state changed: the seat's session record.
    static std::string loginWindowPath();
    // "<home>/.AppData/RavAviza/RavAviza.EXE$/debug.config" for a user; nothing for an unknown user.
    static std::optional<std::string> debugConfigPath(const std::string& owner);

    // The debug stream's path; nothing while there is no debug stream.
    std::optional<std::string> debugStreamPath() const;
    // Waits until the work queued on the monitor queue and then on the proxy queue has run.
    void waitUntilIdle();

  private:
    void mainCallback(const std::vector<std::string>& paths);
    void debugCallback(const std::vector<std::string>& paths);
    void replaceDebugStream();
    std::optional<std::string> readConsoleOwner() const;
    std::string description() const;

    ZemFileMonitorHelper& helper_;
    Options options_;
    std::shared_ptr<dispatch::WorkQueue> monitorQueue_;
    std::shared_ptr<dispatch::WorkQueue> updateProxyQueue_;
    std::unique_ptr<fsevents::EventStream> mainStream_;
    mutable std::mutex streamLock_;
    std::unique_ptr<fsevents::EventStream> stream_;
    std::optional<std::string> streamPath_;
    std::string streamOwner_;
    bool stopping_ = false;
};

}  // namespace hollin
