// Lets callbacks that run on other threads (connection handlers, reply blocks) reach an object
// only while it lives: they hold the lifeline, not the object, and the object's end waits for
// the calls in progress and turns the later ones away.
#pragma once

#include <memory>
#include <mutex>
#include <shared_mutex>

namespace helperscaffold {

template <typename T>
class Lifeline {
  public:
    explicit Lifeline(T* owner) : owner_(owner) {}

    static std::shared_ptr<Lifeline> make(T* owner) { return std::make_shared<Lifeline>(owner); }

    // Runs fn with the owner while it lives; false when it has ended. Calls may run at once.
    template <typename F>
    bool with(F&& fn) {
        std::shared_lock<std::shared_mutex> lock(mutex_);
        if (!owner_) return false;
        fn(*owner_);
        return true;
    }

    // Called by the owner as it ends: waits for the calls in progress.
    void end() {
        std::unique_lock<std::shared_mutex> lock(mutex_);
        owner_ = nullptr;
    }

  private:
    std::shared_mutex mutex_;
    T* owner_;
};

}  // namespace helperscaffold
