#include <gtest/gtest.h>

#include <ctime>

#include "platform/dispatch/Clock.h"

namespace dispatch {
namespace {

TEST(platform_dispatch_Clock, SystemClockIsWallTimeAndManualClockMovesOnlyWhenTold) {
    double now = Clock::system().now();
    EXPECT_NEAR(now, static_cast<double>(std::time(nullptr)), 2.0);

    ManualClock manual(1000.0);
    EXPECT_EQ(manual.now(), 1000.0);
    manual.advance(86400.5);
    EXPECT_EQ(manual.now(), 87400.5);
    manual.set(5.0);
    EXPECT_EQ(manual.now(), 5.0);
}

}  // namespace
}  // namespace dispatch
