#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/dispatch/WorkQueue.h"

namespace dispatch {
namespace {

// Counts live copies of itself, so a test sees every capture destroyed exactly once.
struct Tracked {
    explicit Tracked(int* live) : live(live) { ++*live; }
    Tracked(const Tracked& o) : live(o.live) { ++*live; }
    Tracked(Tracked&& o) noexcept : live(o.live) { ++*live; }
    ~Tracked() { --*live; }
    int* live;
};

TEST(platform_dispatch_UniqueFunction, HoldsMoveOnlyCapturesInlineOrOnTheHeapAndDestroysThemOnce) {
    // A small capture is kept inline, a large one on the heap; both must survive moves and go once.
    int live = 0;
    {
        Task small = [t = Tracked(&live), p = std::make_unique<int>(7)] { EXPECT_EQ(*p, 7); };
        Task large = [t = Tracked(&live), pad = std::array<char, 256>{'x'}] { EXPECT_EQ(pad[0], 'x'); };
        EXPECT_EQ(live, 2);
        Task movedSmall = std::move(small);
        Task movedLarge = std::move(large);
        EXPECT_FALSE(small);
        EXPECT_FALSE(large);
        EXPECT_EQ(live, 2);
        movedSmall();
        movedLarge();
        // Assigning over a wrapper destroys what it held.
        movedSmall = std::move(movedLarge);
        EXPECT_EQ(live, 1);
        movedSmall = nullptr;
        EXPECT_EQ(live, 0);
    }
    EXPECT_EQ(live, 0);
}

TEST(platform_dispatch_UniqueFunction, StdFunctionsLambdasAndNullsConvertAsStdFunctionDoes) {
    int calls = 0;
    std::function<void()> named = [&] { ++calls; };
    Task fromFunction = named;  // copied: the original stays usable
    fromFunction();
    named();
    EXPECT_EQ(calls, 2);

    std::function<void()> emptyFunction;
    void (*nullPointer)() = nullptr;
    Task empties[] = {Task(), Task(nullptr), Task(emptyFunction), Task(nullPointer)};
    for (const Task& empty : empties) {
        EXPECT_FALSE(empty);
        EXPECT_TRUE(empty == nullptr);
        EXPECT_THROW(empty(), std::bad_function_call);
    }

    UniqueFunction<int(int, std::string)> withArgs = [](int a, const std::string& b) {
        return a + static_cast<int>(b.size());
    };
    EXPECT_EQ(withArgs(2, "abc"), 5);
}

TEST(platform_dispatch_UniqueFunction, QueuesTakeTasksThatOwnAPromise) {
    auto queue = WorkQueue::create("test.unique.promise");
    std::promise<std::string> answer;
    auto future = answer.get_future();
    queue->dispatch([answer = std::move(answer)]() mutable { answer.set_value(WorkQueue::currentLabel()); });
    ASSERT_EQ(future.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(future.get(), "test.unique.promise");
}

}  // namespace
}  // namespace dispatch
