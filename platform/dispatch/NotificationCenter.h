// In-process notifications by name, delivered on the queue each observer chose.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/archive/Value.h"
#include "WorkQueue.h"

namespace dispatch {

struct Notification {
    std::string name;
    archive::Value object;    // the value the poster attaches (a number, a text, a list), or Null
    archive::Value userInfo;  // a Dictionary or Null
};

class NotificationCenter {
  public:
    using ObserverId = uint64_t;
    using Handler = std::function<void(const Notification&)>;

    static NotificationCenter& defaultCenter();

    // queue null: the handler runs synchronously on the posting thread. An empty name observes
    // every notification.
    ObserverId addObserver(const std::string& name, std::shared_ptr<WorkQueue> queue, Handler handler);
    // After removal the observer is not called again, even for posts already queued to it; a
    // call already running on another thread finishes.
    void removeObserver(ObserverId id);
    void post(const std::string& name, archive::Value object = archive::Null{},
              archive::Value userInfo = archive::Null{});

  private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
    NotificationCenter();
};

}  // namespace dispatch
