#include "OperationQueueManager.h"

#include <algorithm>

#include "platform/dispatch/WorkQueue.h"

namespace hollin {

struct OperationQueueManager::State : std::enable_shared_from_this<State> {
    mutable std::mutex mutex;
    std::condition_variable idle;
    std::deque<OperationPtr> waiting;
    std::vector<OperationPtr> running;
    int32_t maxConcurrent = 1;
    bool suspended = false;
    bool isRunnedOperation = false;

    // Moves waiting operations to running while there is room; the caller holds the mutex.
    std::vector<OperationPtr> takeStartable() {
        std::vector<OperationPtr> out;
        while (!suspended && !waiting.empty() && static_cast<int32_t>(running.size()) < maxConcurrent) {
            running.push_back(waiting.front());
            out.push_back(std::move(waiting.front()));
            waiting.pop_front();
        }
        return out;
    }

    void start(std::vector<OperationPtr> ops) {
        for (OperationPtr& op : ops) {
            // Each operation is a task of its own, so a long chain of followers never nests.
            dispatch::WorkQueue::global()->dispatch([self = shared_from_this(), op] { self->run(op); });
        }
    }

    void run(const OperationPtr& op) {
        op->perform();
        std::vector<OperationPtr> next;
        {
            std::lock_guard lock(mutex);
            auto it = std::find(running.begin(), running.end(), op);
            if (it != running.end()) running.erase(it);
            next = takeStartable();
            if (running.empty() && waiting.empty()) idle.notify_all();
        }
        start(std::move(next));
    }
};

void OperationQueueManager::Operation::perform() noexcept {
    if (isCancelled() || !body_) return;
    try {
        body_();
    } catch (...) {
    }
}

OperationQueueManager& OperationQueueManager::sharedInstance() {
    static OperationQueueManager* instance = new OperationQueueManager();  // lives for the whole process
    return *instance;
}

OperationQueueManager::OperationQueueManager() : state_(std::make_shared<State>()) {}

// Running operations hold the state, not the manager, so they may outlive it.
OperationQueueManager::~OperationQueueManager() {
    cancleAllOperations();
}

OperationQueueManager::OperationPtr OperationQueueManager::addOperation(std::function<void()> body) {
    auto op = std::make_shared<Operation>(std::move(body));
    addOperation(op);
    return op;
}

void OperationQueueManager::addOperation(OperationPtr operation) {
    if (!operation) return;
    std::vector<OperationPtr> startable;
    {
        std::lock_guard lock(state_->mutex);
        state_->isRunnedOperation = true;
        state_->waiting.push_back(std::move(operation));
        startable = state_->takeStartable();
    }
    state_->start(std::move(startable));
}

std::vector<OperationQueueManager::OperationPtr> OperationQueueManager::allOperations() const {
    std::lock_guard lock(state_->mutex);
    std::vector<OperationPtr> all(state_->running.begin(), state_->running.end());
    all.insert(all.end(), state_->waiting.begin(), state_->waiting.end());
    return all;
}

size_t OperationQueueManager::operationCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->running.size() + state_->waiting.size();
}

bool OperationQueueManager::isRunOperation() const {
    std::lock_guard lock(state_->mutex);
    return state_->isRunnedOperation;
}

void OperationQueueManager::setIsRunOperation(bool value) {
    std::lock_guard lock(state_->mutex);
    state_->isRunnedOperation = value;
}

bool OperationQueueManager::isSuspend() const {
    std::lock_guard lock(state_->mutex);
    return state_->suspended;
}

void OperationQueueManager::setsSuspend(bool suspended) {
    std::vector<OperationPtr> startable;
    {
        std::lock_guard lock(state_->mutex);
        state_->suspended = suspended;
        startable = state_->takeStartable();
    }
    state_->start(std::move(startable));
}

void OperationQueueManager::cancleAllOperations() {
    std::lock_guard lock(state_->mutex);
    for (OperationPtr& op : state_->running) op->cancel();
    for (OperationPtr& op : state_->waiting) op->cancel();
    state_->waiting.clear();
    if (state_->running.empty()) state_->idle.notify_all();
}

void OperationQueueManager::setMaxConcurrentCount(int32_t count) {
    std::vector<OperationPtr> startable;
    {
        std::lock_guard lock(state_->mutex);
        state_->maxConcurrent = std::max<int32_t>(count, 1);
        startable = state_->takeStartable();
    }
    state_->start(std::move(startable));
}

int32_t OperationQueueManager::maxConcurrentCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->maxConcurrent;
}

bool OperationQueueManager::waitUntilAllOperationsAreFinished(std::chrono::milliseconds limit) {
    std::unique_lock lock(state_->mutex);
    return state_->idle.wait_for(lock, limit,
                                 [&] { return state_->running.empty() && state_->waiting.empty(); });
}

}  // namespace hollin
