// A temporary filesystem root for the test process: RAVAVIZA_ROOT points at a fresh folder under
// /tmp before the first test and the folder is removed after the last.
#pragma once

#include <unistd.h>

#include <atomic>
#include <string>

#include "tests/support/TempRootEnvironment.h"

namespace ipctest {

// Other users must reach the sockets in some tests.
inline const ::testing::Environment* const kTestRoot = testsupport::tempRootEnvironment("ipc_test", 0755);

// A service name no other test of this process uses.
inline std::string uniqueName(const std::string& stem) {
    static std::atomic<int> n{0};
    return stem + "-" + std::to_string(::getpid()) + "-" + std::to_string(n++);
}

}  // namespace ipctest
