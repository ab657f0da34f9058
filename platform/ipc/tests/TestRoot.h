// A temporary filesystem root for the test process: RAVAVIZA_ROOT points at a fresh folder under
// /tmp before the first test and the folder is removed after the last.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace ipctest {

class TestRootEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        char templ[] = "/tmp/ipc_test_XXXXXX";
        ASSERT_NE(::mkdtemp(templ), nullptr);
        path() = templ;
        ::chmod(templ, 0755);  // other users must reach the sockets in some tests
        ::setenv("RAVAVIZA_ROOT", templ, 1);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(path(), ec);
    }
    static std::string& path() {
        static std::string p;
        return p;
    }
};

inline const ::testing::Environment* const kTestRoot =
    ::testing::AddGlobalTestEnvironment(new TestRootEnvironment);

// A service name no other test of this process uses.
inline std::string uniqueName(const std::string& stem) {
    static std::atomic<int> n{0};
    return stem + "-" + std::to_string(::getpid()) + "-" + std::to_string(n++);
}

}  // namespace ipctest
