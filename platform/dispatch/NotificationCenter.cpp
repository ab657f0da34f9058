// Observers by name; each post hands the notification to every matching observer's queue.
#include "NotificationCenter.h"

#include <atomic>
#include <map>
#include <mutex>
#include <vector>

namespace dispatch {

namespace {

struct ObserverEntry {
    std::string name;  // empty: every notification
    std::shared_ptr<WorkQueue> queue;
    NotificationCenter::Handler handler;
    // Cleared on removal, so deliveries already queued for this observer are dropped.
    std::atomic<bool> active{true};
};

}  // namespace

struct NotificationCenter::Impl {
    std::mutex m;
    std::map<ObserverId, std::shared_ptr<ObserverEntry>> observers;  // by id: delivery in order of addition
    ObserverId nextId = 1;
};

NotificationCenter::NotificationCenter() : impl_(std::make_shared<Impl>()) {}

NotificationCenter& NotificationCenter::defaultCenter() {
    // Never destroyed: posts may still come from other threads while the process exits.
    static auto* center = new NotificationCenter;
    return *center;
}

NotificationCenter::ObserverId NotificationCenter::addObserver(const std::string& name,
                                                               std::shared_ptr<WorkQueue> queue,
                                                               Handler handler) {
    auto entry = std::make_shared<ObserverEntry>();
    entry->name = name;
    entry->queue = std::move(queue);
    entry->handler = std::move(handler);
    std::lock_guard lk(impl_->m);
    ObserverId id = impl_->nextId++;
    impl_->observers.emplace(id, std::move(entry));
    return id;
}

void NotificationCenter::removeObserver(ObserverId id) {
    std::shared_ptr<ObserverEntry> entry;
    {
        std::lock_guard lk(impl_->m);
        auto it = impl_->observers.find(id);
        if (it == impl_->observers.end()) return;
        entry = std::move(it->second);
        impl_->observers.erase(it);
    }
    entry->active = false;
}

void NotificationCenter::post(const std::string& name, archive::Value object, archive::Value userInfo) {
    auto note =
        std::make_shared<const Notification>(Notification{name, std::move(object), std::move(userInfo)});
    std::vector<std::shared_ptr<ObserverEntry>> targets;
    {
        std::lock_guard lk(impl_->m);
        for (const auto& [id, entry] : impl_->observers) {
            if (entry->name.empty() || entry->name == name) targets.push_back(entry);
        }
    }
    for (auto& entry : targets) {
        if (!entry->queue) {
            if (entry->active) entry->handler(*note);
            continue;
        }
        entry->queue->dispatch([entry, note] {
            if (entry->active) entry->handler(*note);
        });
    }
}

}  // namespace dispatch
