// One temporary product root for a whole test program: made before the first test, removed after
// the last. Include it once per program and name the stem with tempRootEnvironment("...").
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>

#include "TempRoot.h"

namespace testsupport {

class TempRootEnvironment : public ::testing::Environment {
  public:
    TempRootEnvironment(std::string stem, mode_t mode) : stem_(std::move(stem)), mode_(mode) {}
    void SetUp() override {
        root_ = std::make_unique<TempRoot>(stem_, mode_);
        path() = root_->path();
    }
    void TearDown() override { root_.reset(); }
    // The root's path while the program's tests run.
    static std::string& path() {
        static std::string p;
        return p;
    }

  private:
    std::string stem_;
    mode_t mode_;
    std::unique_ptr<TempRoot> root_;
};

// Registers the program's root; gtest owns the environment.
inline const ::testing::Environment* tempRootEnvironment(std::string_view stem, mode_t mode = 0700) {
    return ::testing::AddGlobalTestEnvironment(new TempRootEnvironment(std::string(stem), mode));
}

}  // namespace testsupport
