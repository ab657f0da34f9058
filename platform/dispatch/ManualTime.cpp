// The manual timeline: a process-wide list of expiry actions ordered by due time, delivered by
// advance() on the calling thread.
#include "ManualTime.h"

#include <atomic>
#include <map>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

#include "Internal.h"

namespace dispatch {
namespace {

struct ManualState {
    std::atomic<bool> active{false};
    std::mutex m;
    std::chrono::nanoseconds now{0};                       // guarded by m
    uint64_t nextSeq = 1;                                  // guarded by m
    std::map<std::pair<int64_t, uint64_t>, Task> entries;  // guarded by m
    std::mutex advancing;  // one advance() at a time, so expiries keep their order
    ManualClock clock;
};

ManualState& state() {
    // Never destroyed: queue threads may still arm timers while static objects are torn down.
    static auto* s = new ManualState;
    return *s;
}

std::pair<int64_t, uint64_t> keyOf(const detail::ManualToken& t) {
    return {t.due.count(), t.seq};
}

}  // namespace

namespace detail {

bool manualTimeActive() {
    return state().active.load(std::memory_order_acquire);
}

std::chrono::nanoseconds manualNow() {
    auto& s = state();
    std::lock_guard lk(s.m);
    return s.now;
}

ManualToken manualSchedule(std::chrono::nanoseconds due, Task expiry) {
    auto& s = state();
    std::lock_guard lk(s.m);
    if (!s.active) return {};  // the expiry is dropped with the manual timeline it was meant for
    ManualToken token{due < s.now ? s.now : due, s.nextSeq++};
    s.entries.emplace(keyOf(token), std::move(expiry));
    return token;
}

void manualCancel(const ManualToken& token) {
    if (token.seq == 0) return;
    auto& s = state();
    Task dropped;
    {
        std::lock_guard lk(s.m);
        auto it = s.entries.find(keyOf(token));
        if (it == s.entries.end()) return;
        dropped = std::move(it->second);
        s.entries.erase(it);
    }
}

}  // namespace detail

ManualTime::ManualTime() {
    auto& s = state();
    std::lock_guard lk(s.m);
    // A second timeline would restart the first one's clock under its pending expiries.
    if (s.active) throw std::logic_error("manual time is already on");
    s.now = std::chrono::nanoseconds(0);
    s.active = true;
}

ManualTime::~ManualTime() {
    auto& s = state();
    std::map<std::pair<int64_t, uint64_t>, Task> dropped;
    {
        std::lock_guard advancing(s.advancing);
        std::lock_guard lk(s.m);
        s.active = false;
        dropped.swap(s.entries);
    }
    // Destroyed unlocked: an action may hold the last reference to a queue.
}

bool ManualTime::active() {
    return detail::manualTimeActive();
}

void ManualTime::advance(std::chrono::nanoseconds by) {
    auto& s = state();
    std::lock_guard advancing(s.advancing);
    std::unique_lock lk(s.m);
    const auto target = s.now + (by.count() > 0 ? by : std::chrono::nanoseconds(0));
    for (;;) {
        auto it = s.entries.begin();
        if (it == s.entries.end() || it->first.first > target.count()) break;
        Task expiry = std::move(it->second);
        auto due = std::chrono::nanoseconds(it->first.first);
        s.entries.erase(it);
        s.clock.advance(std::chrono::duration<double>(due - s.now).count());
        s.now = due;
        lk.unlock();
        // An expiry only hands work to a queue (or arms the next expiry), which takes locks of its own.
        expiry();
        expiry = nullptr;
        lk.lock();
    }
    s.clock.advance(std::chrono::duration<double>(target - s.now).count());
    s.now = target;
}

void ManualTime::advanceSeconds(double seconds) {
    advance(std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(seconds)));
}

std::chrono::nanoseconds ManualTime::elapsed() {
    return detail::manualNow();
}

std::size_t ManualTime::pending() {
    auto& s = state();
    std::lock_guard lk(s.m);
    return s.entries.size();
}

ManualClock& ManualTime::clock() {
    return state().clock;
}

}  // namespace dispatch
