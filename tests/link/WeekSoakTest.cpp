// A simulated week of the daemon's request schedule: the real scheduler, core and link against the
// test management server on loopback, driven by explicit one-second ticks on a manual clock, the
// write tick every third tick and each request answered before time moves on. The process's
// anonymous memory, threads and descriptors are sampled once a simulated day and must stay flat.
#include <gtest/gtest.h>
#include <dirent.h>

#include <condition_variable>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "tests/support/PortServer.h"
#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"
#include "platform/archive/KeyedArchive.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainLoop.h"
#include "daemon/link/ZemCore.h"
#include "daemon/link/ZemResponseHandle.h"
#include "daemon/link/ZemSocketManager.h"
#include "daemon/link/ZemSocketReadManager.h"
#include "common/logger/RotatingLogger.h"
#include "platform/paths/Paths.h"
#include "daemon/reply/ZemReplyDispatcher.h"
#include "daemon/scheduler/CommonTimerManager.h"
#include "daemon/store/ZemConfigManager.h"

using hollin::CommonTimerManager;
using common::LogCoreHelper;
using hollin::ZemConfigManager;
using hollin::ZemCore;
using hollin::ZemLinkContext;
using hollin::ZemReplyDispatcher;
using zem::ZemResponse;
using hollin::ZemResponseHandle;
using hollin::ZemSocketMessageModel;
using hollin::ZemSocketMessagePtr;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

struct Sample {
    int day = 0;
    long anonKiB = 0;
    long threads = 0;
    long descriptors = 0;
    int64_t replies = 0;
};

long statusField(const std::string& name) {
    std::istringstream in(testsupport::readText("/proc/self/status"));
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(name + ":", 0) == 0) return std::stol(line.substr(name.size() + 1));
    }
    return -1;
}

long openDescriptors() {
    long count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] != '.') ++count;
        }
        ::closedir(dir);
    }
    return count - 1;  // the listing's own descriptor
}

std::string table(const std::vector<Sample>& samples) {
    std::ostringstream out;
    out << "day  anon KiB  threads  descriptors  replies\n";
    for (const Sample& s : samples) {
        out << s.day << "    " << s.anonKiB << "    " << s.threads << "    " << s.descriptors << "    " << s.replies
            << "\n";
    }
    return out.str();
}

// Counts the replies handed on to the reply dispatcher.
struct Replies {
    std::mutex mutex;
    int64_t count = 0;
    int64_t get() {
        std::lock_guard lock(mutex);
        return count;
    }
};

TEST(platform_Soak, AWeekOfTicksAndItsRequestsLeaveMemoryThreadsAndDescriptorsFlat) {
    testsupport::TempRoot root("rav-soak");
    fs::create_directories(paths::machineSupportFolder());
    fs::create_directories(paths::productRoot());
    // The device facts come from this machine, read only, as in the daemon's demo set-up.
    fs::create_directory_symlink("/sys", root.path() + "/sys");
    fs::create_directory_symlink("/proc", root.path() + "/proc");
    testsupport::PortServer server({RAVAVIZA_PYTHON, ZEM_TEST_SERVER, "--proto-path", ZEM_PROTO_PYTHON_DIR,
                                    "--quiet", "--log", root.path() + "/requests.jsonl"});
    ASSERT_NE(server.port(), 0) << "the test management server did not start";
    const std::string port = std::to_string(server.port());
    ASSERT_TRUE(archive::archiveRootObjectToFile(
        archive::Array{archive::Array{"127.0.0.1", port}, archive::Array{"127.0.0.1", port}},
        paths::serverConfigFile()));

    // The replies' commands and notifications go to the main queue, as in the daemon.
    std::thread loop([] { dispatch::MainLoop::shared().run(); });
    Replies replies;
    ZemResponseHandle::setDispatch([&replies](int32_t, const ZemResponse& response) {
        ZemReplyDispatcher::sharedInstance().handleResponse(response);
        std::lock_guard lock(replies.mutex);
        ++replies.count;
    });

    dispatch::ManualClock clock;
    ZemLinkContext context;
    context.clock = &clock;
    context.startWriteTimer = false;  // the test is the write tick
    auto core = std::make_shared<ZemCore>(context);
    core->initialConfig();
    auto link = core->socketManager();
    ASSERT_TRUE(link);

    std::vector<Sample> samples;
    {
        ZemConfigManager config(root.path() + "/config.archive");
        CommonTimerManager::Environment env;
        env.clock = &clock;
        env.mainCore = core;
        env.config = &config;
        env.registerNotifications = false;
        env.monitorUserLogin = [] {};
        env.businessCheck = [] {};
        env.probeNetworkType = [](std::function<void(int64_t)> done) { done(0); };
        env.submit = [](const std::shared_ptr<dispatch::WorkQueue>&, dispatch::Task task) { task(); };
        env.exitProcess = [] { ADD_FAILURE() << "the memory guard would end the process"; };
        // Under AddressSanitizer the process's memory says nothing of the product's: the guard
        // then reads a figure below its limit.
        if (!testsupport::kMemoryFiguresMeaningful) env.memoryUsage = [] { return 1.0; };
        CommonTimerManager scheduler(env);

        constexpr int kDay = 24 * 3600;
        bool stuck = false;
        for (int second = 1; second <= 7 * kDay && !stuck; ++second) {
            clock.advance(1.0);
            scheduler.startRunloopTimer();
            if (second % 3 == 0 && !link->reqModels().empty()) {
                // The write tick, then the reply (or the failure) before time moves on.
                const ZemSocketMessagePtr head = link->reqModels().front();
                link->handleSocketWrite();
                auto settled = [&] {
                    auto queued = link->reqModels();
                    return queued.empty() || queued.front() != head ||
                           head->sendStatus != ZemSocketMessageModel::kInFlight;
                };
                const auto until = std::chrono::steady_clock::now() + 30s;
                while (!settled() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(100us);
                stuck = !settled();
                link->readSocketManager().waitForPendingReads(30s);
            }
            if (second % kDay == 0) {
                LogCoreHelper::sharedInstance().flush();
                samples.push_back(Sample{second / kDay, statusField("RssAnon"), statusField("Threads"),
                                         openDescriptors(), replies.get()});
            }
        }
        EXPECT_FALSE(stuck) << "a request got no answer within 30 s\n" << table(samples);
    }
    link->invalidate();
    link->readSocketManager().waitForPendingReads(10s);
    ZemResponseHandle::setDispatch(nullptr);
    dispatch::MainLoop::shared().stop();
    loop.join();
    LogCoreHelper::sharedInstance().flush();

    ASSERT_EQ(samples.size(), 7u) << table(samples);
    const std::string figures = table(samples);
    std::cout << figures;
    EXPECT_GE(samples.back().replies, 10'000) << "a week of the default schedule\n" << figures;
    // Day 1 is the warm-up (pools, connections, log files); from then on nothing may grow.
    const Sample& first = samples.front();
    for (const Sample& s : samples) {
        EXPECT_LE(s.threads, first.threads + 2) << "threads grow\n" << figures;
        EXPECT_LE(s.descriptors, first.descriptors + 2) << "descriptors grow\n" << figures;
    }
    if (testsupport::kMemoryFiguresMeaningful) {
        EXPECT_LE(samples.back().anonKiB - samples[1].anonKiB, 512) << "anonymous memory grows\n" << figures;
    }
}

}  // namespace
