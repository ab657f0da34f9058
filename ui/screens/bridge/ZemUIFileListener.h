// The app's view of the daemon's state: one file event stream over the machine-wide state files,
// the server configuration and the user's account record. Each change becomes an in-process
// notification on the default centre (or a reload of the server configuration), posted from the
// watcher's queue, never from the main thread.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/WorkQueue.h"
#include "platform/fsevents/EventStream.h"

namespace hux {

class ZemUIFileListener {
  public:
    struct Options {
        // How long changes are gathered before they are reported.
        std::chrono::milliseconds latency{3000};
    };

    static constexpr const char* kMonitorQueueLabel = "com.velmora.zem.ui.file.monitor";

    // The process's listener, made on first use and kept for the process's life.
    static ZemUIFileListener& sharedInstance();
    explicit ZemUIFileListener(Options options);
    ~ZemUIFileListener();
    ZemUIFileListener(const ZemUIFileListener&) = delete;
    ZemUIFileListener& operator=(const ZemUIFileListener&) = delete;

    // Returns at once; the stream is built and started on monitorQueue. Later calls do nothing.
    void startUIResourcesFileListen();

    // The watched files: eleven in the machine-wide support folder, the account record and
    // .ZemConfig. The record's folder is not created.
    static std::vector<std::string> watchedPaths();

    // Acts on one changed path: the first substring of the table that it contains decides.
    void handleChangedPath(const std::string& path);

    std::shared_ptr<dispatch::WorkQueue> monitorQueue() const { return monitorQueue_; }

  private:
    void callback(const std::vector<std::string>& paths);
    // The account record's answer to a change of login.archive.
    void checkLoginRecord();

    Options options_;
    std::shared_ptr<dispatch::WorkQueue> monitorQueue_;
    std::mutex mutex_;
    bool started_ = false;
    std::unique_ptr<fsevents::EventStream> stream_;
};

}  // namespace hux
