// A file event stream over a list of file paths, on inotify: creation, modification, atomic
// replacement (rename over) and deletion of each watched file are reported as its full path,
// coalesced per latency window and delivered on a dispatch queue. Files that do not exist yet,
// even in folders that do not exist yet, are picked up when they appear.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/WorkQueue.h"

namespace fsevents {

// The watched paths that changed in one window, each once, in the order of their first change.
using Callback = std::function<void(const std::vector<std::string>& paths)>;

class EventStream {
  public:
    // Relative paths are taken from the working folder. Only changes after start() are reported.
    EventStream(std::vector<std::string> paths, std::chrono::milliseconds latency,
                std::shared_ptr<dispatch::WorkQueue> queue, Callback callback);
    ~EventStream();
    EventStream(const EventStream&) = delete;
    EventStream& operator=(const EventStream&) = delete;

    // Sets up the watches and starts the reader thread; false (with a reason) when inotify
    // cannot be used. Starting a running stream does nothing.
    bool start(std::string* error = nullptr);
    // Ends the reader thread. A batch not delivered yet is dropped, and no callback starts after
    // stop() returns (one already running on the queue finishes). May be called from the callback.
    void stop();

    const std::vector<std::string>& paths() const { return paths_; }

  private:
    struct Shared {
        Callback callback;
        std::atomic<bool> active{false};
    };
    class Watcher;

    std::vector<std::string> paths_;
    std::chrono::milliseconds latency_;
    std::shared_ptr<dispatch::WorkQueue> queue_;
    std::shared_ptr<Shared> shared_;
    std::mutex lifecycle_;
    std::thread reader_;
    int stopFd_ = -1;
};

}  // namespace fsevents
