// Shared by the tests of the app's session services: the capturing process log, and a wait that
// runs the main queue until a condition holds.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/MainLoop.h"
#include "tests/support/CapturingLog.h"

namespace testsupport {

// Runs the main queue until done() holds or the limit passes.
inline bool runMainUntil(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(60)) {
    using namespace std::chrono_literals;
    auto& loop = dispatch::MainLoop::shared();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        auto timer = loop.addTimer(20ms, 0ns, [&loop] { loop.stop(); });
        loop.run();
        timer->cancel();
    }
    return done();
}

}  // namespace testsupport
