#include "Clock.h"

namespace dispatch {

double SystemClock::now() const {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

double SystemClock::uptime() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

Clock& Clock::system() {
    static SystemClock clock;
    return clock;
}

}  // namespace dispatch
