#include "platform/qt/QtMainQueue.h"

#include <QMetaObject>
#include <QPointer>
#include <atomic>
#include <chrono>

struct QtMainQueue::Driver final : dispatch::MainQueueDriver {
    QPointer<QtMainQueue> owner;
    std::atomic<bool> pending{false};
    void wakeUp() override {
        if (pending.exchange(true)) return;
        QPointer<QtMainQueue> o = owner;
        QMetaObject::invokeMethod(
            o.data(),
            [o] {
                if (o) o->drain();
            },
            Qt::QueuedConnection);
    }
};

QtMainQueue::QtMainQueue() : driver_(std::make_shared<Driver>()) {
    driver_->owner = this;
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, [this] { drain(); });
    dispatch::MainLoop::shared().setDriver(driver_);
}

QtMainQueue::~QtMainQueue() {
    dispatch::MainLoop::shared().setDriver(nullptr);
}

void QtMainQueue::drain() {
    driver_->pending = false;
    auto next = dispatch::MainLoop::shared().drain();
    if (next) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(*next - std::chrono::steady_clock::now());
        timer_.start(static_cast<int>(std::max<int64_t>(0, left.count())));
    }
}
