#include <gtest/gtest.h>

#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/dispatch/WorkQueue.h"

namespace dispatch {
namespace {

using namespace std::chrono_literals;

// Starts work that throws, then keeps the process busy until the fault ends it (or a bound runs
// out, which the exit status then shows).
struct FaultCase {
    const char* name;
    const char* label;
    std::function<void()> start;
};

void waitToBeEnded() {
    std::this_thread::sleep_for(20s);
    std::_Exit(1);
}

std::vector<FaultCase> faultCases() {
    auto boom = [] { throw std::runtime_error("boom"); };
    return {
        {"serial queue task", "test.fault.serial",
         [=] {
             auto q = WorkQueue::create("test.fault.serial");
             q->dispatch(boom);
             waitToBeEnded();
         }},
        {"concurrent queue task", "test.fault.pool",
         [=] {
             auto q = WorkQueue::create("test.fault.pool", QueueAttr::Concurrent);
             q->dispatch(boom);
             waitToBeEnded();
         }},
        {"main loop task", "main",
         [=] {
             WorkQueue::main()->dispatch(boom);
             MainLoop::shared().run();
             std::_Exit(1);
         }},
        {"run-loop timer", "main",
         [=] {
             auto timer = MainLoop::shared().addTimer(0ms, 0ms, boom);
             MainLoop::shared().run();
             std::_Exit(1);
         }},
        {"timer source handler", "test.fault.timer",
         [=] {
             auto timer = TimerSource::create(WorkQueue::create("test.fault.timer"), 0ms, 1h, boom);
             timer->resume();
             waitToBeEnded();
         }},
        {"notification observer", "test.fault.note",
         [=] {
             auto q = WorkQueue::create("test.fault.note");
             NotificationCenter::defaultCenter().addObserver(
                 "n", q, [](const Notification&) { throw std::logic_error("boom"); });
             NotificationCenter::defaultCenter().post("n");
             waitToBeEnded();
         }},
    };
}

TEST(platform_dispatch_FaultDeathTest, EscapedExceptionIsReportedWithItsQueueAndEndsTheProcessWith253) {
    // Each case runs in a freshly started copy of this program, so no test thread is forked.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const auto& c : faultCases()) {
        SCOPED_TRACE(c.name);
        std::string expected = std::string("dispatch: work on \"") + c.label + "\" threw: boom";
        EXPECT_EXIT(c.start(), ::testing::ExitedWithCode(kFaultExitStatus), expected);
    }
}

TEST(platform_dispatch_Fault, SetHandlerGetsLabelAndTextAndAQueueThatOutlivesItGoesOn) {
    std::mutex m;
    std::vector<std::string> faults;
    setFaultHandler([&](const std::string& label, const std::string& what) {
        std::lock_guard lk(m);
        faults.push_back(label + ": " + what);
    });
    auto queue = WorkQueue::create("test.fault.handled");
    queue->dispatch([] { throw std::runtime_error("first"); });
    queue->dispatch([] { throw 42; });
    bool ran = false;
    queue->dispatchSync([&] { ran = true; });
    // An exception of dispatchSync's task goes to its caller, not to the handler.
    EXPECT_THROW(queue->dispatchSync([] { throw std::runtime_error("to the caller"); }), std::runtime_error);
    setFaultHandler(nullptr);

    EXPECT_TRUE(ran);
    std::lock_guard lk(m);
    EXPECT_EQ(faults, (std::vector<std::string>{"test.fault.handled: first",
                                                "test.fault.handled: an exception of unknown type"}));
}

}  // namespace
}  // namespace dispatch
