// A small operation queue: operations run on the global queue, at most a given number at once,
// in the order they were added; the queue can be suspended and its waiting operations cancelled.
// The read sides of both server channels own one.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace hollin {

class OperationQueueManager {
  public:
    class Operation {
      public:
        explicit Operation(std::function<void()> body) : body_(std::move(body)) {}
        void cancel() { cancelled_.store(true); }
        bool isCancelled() const { return cancelled_.load(); }
        // Runs the body unless the operation was cancelled; a failure stays inside it.
        void perform() noexcept;

      private:
        std::function<void()> body_;
        std::atomic<bool> cancelled_{false};
    };
    using OperationPtr = std::shared_ptr<Operation>;

    static OperationQueueManager& sharedInstance();
    OperationQueueManager();
    ~OperationQueueManager();
    OperationQueueManager(const OperationQueueManager&) = delete;
    OperationQueueManager& operator=(const OperationQueueManager&) = delete;

    OperationPtr addOperation(std::function<void()> body);
    void addOperation(OperationPtr operation);
    // Waiting and running operations.
    std::vector<OperationPtr> allOperations() const;
    size_t operationCount() const;
    bool isRunOperation() const;
    void setIsRunOperation(bool value);
    bool isSuspend() const;
    void setsSuspend(bool suspended);
    // Waiting operations are dropped without running; running ones finish.
    void cancleAllOperations();
    // Values below 1 mean 1.
    void setMaxConcurrentCount(int32_t count);
    int32_t maxConcurrentCount() const;
    // True when nothing waits or runs any more before the deadline.
    bool waitUntilAllOperationsAreFinished(std::chrono::milliseconds limit);

  private:
    struct State;
    void pump();

    std::shared_ptr<State> state_;
};

}  // namespace hollin
