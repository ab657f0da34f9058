// Time sources. Time-driven code takes a Clock so tests can step a day in milliseconds.
#pragma once

#include <atomic>
#include <chrono>

namespace dispatch {

class Clock {
  public:
    virtual ~Clock() = default;
    // Wall-clock seconds since 1 January 1970 UTC.
    virtual double now() const = 0;
    // The real clock, shared by the process.
    static Clock& system();
};

class SystemClock final : public Clock {
  public:
    double now() const override;
};

// A clock that moves only when told to.
class ManualClock final : public Clock {
  public:
    explicit ManualClock(double start = 1'700'000'000.0) : t_(start) {}
    double now() const override { return t_.load(); }
    void set(double t) { t_.store(t); }
    void advance(double seconds) { t_.store(t_.load() + seconds); }

  private:
    std::atomic<double> t_;
};

}  // namespace dispatch
