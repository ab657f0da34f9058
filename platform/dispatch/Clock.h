// Time sources. Time-driven code takes a Clock so tests can step a day in milliseconds.
#pragma once

#include <atomic>
#include <chrono>

namespace dispatch {

class Clock {
  public:
    virtual ~Clock() = default;
    // Wall-clock seconds since 1 January 1970 UTC: for what is shown or stored.
    virtual double now() const = 0;
    // Seconds on a clock that never jumps (not set back or forward with the wall clock): for
    // stall checks, watchdogs and elapsed time. Only differences between readings mean anything.
    virtual double uptime() const = 0;
    // The real clock, shared by the process.
    static Clock& system();
};

class SystemClock final : public Clock {
  public:
    double now() const override;
    double uptime() const override;
};

// A clock that moves only when told to. set() moves the wall clock alone (as a change of the
// system time would); advance() moves both clocks.
class ManualClock final : public Clock {
  public:
    explicit ManualClock(double start = 1'700'000'000.0) : t_(start) {}
    double now() const override { return t_.load(); }
    double uptime() const override { return up_.load(); }
    void set(double t) { t_.store(t); }
    void advance(double seconds) {
        t_.store(t_.load() + seconds);
        up_.store(up_.load() + seconds);
    }

  private:
    std::atomic<double> t_;
    std::atomic<double> up_{1000.0};
};

}  // namespace dispatch
