#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/fsevents/EventStream.h"
#include "tests/support/TempRoot.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Long enough that the changes a case spreads over ~60 ms fall in one window even on a busy machine.
constexpr auto kLatency = 250ms;
constexpr auto kSpread = 20ms;

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

class platform_fsevents_Stream : public ::testing::Test {
  protected:
    void SetUp() override {
        queue_ = dispatch::WorkQueue::create("com.velmora.test.fsevents");
    }
    void TearDown() override {
        stream_.reset();
    }

    void watch(std::vector<std::string> paths) {
        stream_ = std::make_unique<fsevents::EventStream>(std::move(paths), kLatency, queue_,
                                                          [this](const std::vector<std::string>& batch) {
                                                              EXPECT_TRUE(queue_->isCurrent());
                                                              std::lock_guard<std::mutex> lock(mutex_);
                                                              batches_.push_back(batch);
                                                              cv_.notify_all();
                                                          });
        std::string error;
        ASSERT_TRUE(stream_->start(&error)) << error;
    }

    // Waits for the next batch (bounded), then for quiet over a few windows, and returns every
    // batch that came.
    std::vector<std::vector<std::string>> settle() {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait_for(lock, 3s, [this] { return !batches_.empty(); });
        lock.unlock();
        std::this_thread::sleep_for(kLatency * 3);
        lock.lock();
        auto out = batches_;
        batches_.clear();
        return out;
    }
    std::vector<std::vector<std::string>> quietPeriod() {
        std::this_thread::sleep_for(kLatency * 3);
        std::lock_guard<std::mutex> lock(mutex_);
        auto out = batches_;
        batches_.clear();
        return out;
    }

    using Batches = std::vector<std::vector<std::string>>;
    testsupport::TempFolder tmp_{"fsevents"};
    std::string dir_ = tmp_.path();
    std::shared_ptr<dispatch::WorkQueue> queue_;
    std::unique_ptr<fsevents::EventStream> stream_;
    std::mutex mutex_;
    std::condition_variable cv_;
    Batches batches_;
};

TEST_F(platform_fsevents_Stream, EachKindOfChangeIsDeliveredOncePerWindowWithTheFullPath) {
    struct Case {
        const char* name;
        bool existsBefore;
        std::function<void(const std::string& path)> change;
    };
    const Case cases[] = {
        {"create", false,
         [](const std::string& p) {
             writeFile(p, "new");
             std::this_thread::sleep_for(kSpread);
             writeFile(p, "newer");
         }},
        {"modify", true,
         [](const std::string& p) {
             std::ofstream out(p, std::ios::app);
             for (int i = 0; i < 3; ++i) {
                 out << "more" << std::flush;
                 std::this_thread::sleep_for(kSpread);
             }
         }},
        {"atomic replace", true,
         [](const std::string& p) {
             writeFile(p + ".tmp", "replacement");
             fs::rename(p + ".tmp", p);
         }},
        {"delete", true, [](const std::string& p) { fs::remove(p); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = dir_ + "/watched.plist";
        fs::remove(path);
        if (c.existsBefore) writeFile(path, "before");
        watch({path});
        EXPECT_EQ(quietPeriod(), Batches{}) << "a file that exists at start is no change";
        c.change(path);
        EXPECT_EQ(settle(), (Batches{{path}}));
        stream_.reset();
    }
}

TEST_F(platform_fsevents_Stream, OtherFilesInTheFolderAreIgnored) {
    std::string path = dir_ + "/.ZemConfig";
    watch({path});
    writeFile(dir_ + "/.ZemConfig.tmp", "x");
    writeFile(dir_ + "/other", "x");
    fs::rename(dir_ + "/other", dir_ + "/other2");
    fs::remove(dir_ + "/other2");
    fs::create_directory(dir_ + "/sub");
    EXPECT_EQ(quietPeriod(), Batches{});

    writeFile(path, "x");
    writeFile(dir_ + "/noise", "x");
    EXPECT_EQ(settle(), (Batches{{path}}));
}

TEST_F(platform_fsevents_Stream, ChangesToSeveralPathsInOneWindowComeAsOneBatchInOrder) {
    std::string a = dir_ + "/a/first.plist";
    std::string b = dir_ + "/second.plist";
    fs::create_directories(dir_ + "/a");
    watch({b, a});
    writeFile(a, "1");
    std::this_thread::sleep_for(kSpread);
    writeFile(b, "1");
    std::this_thread::sleep_for(kSpread);
    writeFile(a, "2");
    EXPECT_EQ(settle(), (Batches{{a, b}}));
}

TEST_F(platform_fsevents_Stream, FileWhoseFolderAppearsLaterIsPickedUp) {
    std::string path = dir_ + "/Users/me/.AppData/debug.config";
    watch({path});
    fs::create_directories(dir_ + "/Users/me/.AppData");
    EXPECT_EQ(quietPeriod(), Batches{}) << "the folder alone is no change of the file";
    writeFile(path, "1");
    EXPECT_EQ(settle(), (Batches{{path}}));

    // The folder goes away and comes back: the watch follows it.
    fs::remove_all(dir_ + "/Users");
    EXPECT_EQ(settle(), (Batches{{path}}));
    fs::create_directories(dir_ + "/Users/me/.AppData");
    writeFile(path, "0");
    EXPECT_EQ(settle(), (Batches{{path}}));
}

TEST_F(platform_fsevents_Stream, TreeMovedIntoPlaceWithTheFileAlreadyInsideIsPickedUp) {
    std::string path = dir_ + "/Library/Preferences/login.plist";
    watch({path});
    fs::create_directories(dir_ + "/staging/Preferences");
    writeFile(dir_ + "/staging/Preferences/login.plist", "x");
    fs::rename(dir_ + "/staging", dir_ + "/Library");
    EXPECT_EQ(settle(), (Batches{{path}}));
}

TEST_F(platform_fsevents_Stream, NothingIsDeliveredAfterStop) {
    std::string path = dir_ + "/watched";
    watch({path});
    writeFile(path, "1");
    EXPECT_EQ(settle(), (Batches{{path}}));
    stream_->stop();
    writeFile(path, "2");
    EXPECT_EQ(quietPeriod(), Batches{});
    std::string error;
    ASSERT_TRUE(stream_->start(&error)) << error;
    writeFile(path, "3");
    EXPECT_EQ(settle(), (Batches{{path}}));
}

}  // namespace
