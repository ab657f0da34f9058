// The operation queue of the read sides: its limit of concurrent operations, suspension and
// cancellation.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "LinkTestSupport.h"
#include "daemon/link/OperationQueueManager.h"

using hollin::OperationQueueManager;

using namespace std::chrono_literals;

TEST(serverlink_link_OperationQueue, NeverRunsMoreThanItsLimitAtOnceAndRunsEveryOperation) {
    for (int32_t limit : {1, 2, 4}) {
        SCOPED_TRACE(limit);
        OperationQueueManager queue;
        queue.setMaxConcurrentCount(limit);
        EXPECT_FALSE(queue.isRunOperation());
        std::atomic<int> running{0}, peak{0}, done{0};
        for (int i = 0; i < 12; ++i) {
            queue.addOperation([&] {
                const int now = ++running;
                int seen = peak.load();
                while (now > seen && !peak.compare_exchange_weak(seen, now)) {
                }
                std::this_thread::sleep_for(15ms);
                --running;
                ++done;
            });
        }
        EXPECT_TRUE(queue.isRunOperation());
        ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(10s));
        EXPECT_EQ(done.load(), 12);
        EXPECT_LE(peak.load(), limit);
        EXPECT_EQ(queue.operationCount(), 0u);
    }
}

TEST(serverlink_link_OperationQueue, SuspendedQueueHoldsOperationsAndCancelDropsTheWaitingOnes) {
    OperationQueueManager queue;
    queue.setMaxConcurrentCount(4);
    queue.setsSuspend(true);
    std::atomic<int> ran{0};
    for (int i = 0; i < 3; ++i) queue.addOperation([&] { ++ran; });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(ran.load(), 0);
    EXPECT_EQ(queue.operationCount(), 3u);
    EXPECT_TRUE(queue.isSuspend());

    queue.cancleAllOperations();
    EXPECT_EQ(queue.operationCount(), 0u);
    queue.setsSuspend(false);
    queue.addOperation([&] { ran += 10; });
    ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(10s));
    EXPECT_EQ(ran.load(), 10);
}
