// Manual time for tests of time-driven code. While a ManualTime object lives, delayed dispatches,
// timer sources and run-loop timers armed from then on wait on a manual timeline instead of the
// real clock: they come due only when the test calls ManualTime::advance(), which delivers every
// expiry up to the new time in order, each dispatched onto its queue as a real expiry would be.
// advance() does not wait for the queues; the test then waits for them, e.g. with a no-op
// dispatchSync. Expiries that came due together on a timer whose handler has not run yet merge
// into one call, as they do in real time; step time in intervals to see every call.
//
//     dispatch::ManualTime time;
//     auto timer = dispatch::TimerSource::create(queue, 0s, 1s, tick);
//     timer->resume();
//     for (int i = 0; i < 60; ++i) {
//         time.advance(1s);
//         queue->dispatchSync([] {});
//     }
//
// Work armed before the object was made keeps real time. Expiries still pending when it goes are
// dropped, with what they hold. One object at a time per process: a second one throws
// std::logic_error.
#pragma once

#include <chrono>
#include <cstddef>

#include "Clock.h"

namespace dispatch {

class ManualTime {
  public:
    ManualTime();
    ~ManualTime();
    ManualTime(const ManualTime&) = delete;
    ManualTime& operator=(const ManualTime&) = delete;

    static bool active();
    // Moves the manual timeline forward, delivering each expiry on the way at its own instant.
    // Any thread; calls from several threads take turns.
    static void advance(std::chrono::nanoseconds by);
    static void advanceSeconds(double seconds);
    // Time passed on the manual timeline since the object was made.
    static std::chrono::nanoseconds elapsed();
    // Expiries waiting to be delivered.
    static std::size_t pending();
    // A clock that moves with the manual timeline (wall time and uptime), for the code under test.
    static ManualClock& clock();
};

}  // namespace dispatch
