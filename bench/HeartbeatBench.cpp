// One heartbeat through the daemon's whole path: device facts, request built, encoded and queued,
// sent at a write tick, POSTed to the test management server on loopback, reply read, parsed and
// handed to the reply dispatcher, state files and log lines written (the log is flushed inside
// each iteration). Processor time is the whole process's (every thread), so the figure compares
// with the real daemon's per-request cost; the server's own time is in another process and not
// counted.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>

#include "tests/support/PortServer.h"
#include "platform/archive/KeyedArchive.h"
#include "daemon/link/ZemCore.h"
#include "daemon/link/ZemResponseHandle.h"
#include "daemon/link/ZemSocketManager.h"
#include "daemon/link/ZemSocketReadManager.h"
#include "common/logger/RotatingLogger.h"
#include "platform/paths/Paths.h"
#include "daemon/reply/ZemReplyDispatcher.h"

using zem::ZemResponse;
using common::LogCoreHelper;
using hollin::ZemCore;
using hollin::ZemLinkContext;
using hollin::ZemReplyDispatcher;
using hollin::ZemResponseHandle;
using hollin::ZemSocketManager;

namespace {

class BenchRoot {
  public:
    BenchRoot() {
        char tmpl[] = "/tmp/rav-bench-heartbeat-XXXXXX";
        root_ = ::mkdtemp(tmpl);
        ::setenv("RAVAVIZA_ROOT", root_.c_str(), 1);
        std::filesystem::create_directories(paths::machineSupportFolder());
        std::filesystem::create_directories(paths::productRoot());
        // The device facts come from this machine, read only, as in the daemon's demo.
        std::filesystem::create_directory_symlink("/sys", root_ + "/sys");
        std::filesystem::create_directory_symlink("/proc", root_ + "/proc");
    }
    ~BenchRoot() {
        ::unsetenv("RAVAVIZA_ROOT");
        if (std::getenv("BENCH_KEEP_ROOT")) return;  // to read the logs of a failed run
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    const std::string& path() const { return root_; }

  private:
    std::string root_;
};

// Counts the replies the dispatcher has been handed.
struct Replies {
    std::mutex mutex;
    std::condition_variable cv;
    int64_t count = 0;

    bool waitFor(int64_t n) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, std::chrono::seconds(30), [&] { return count >= n; });
    }
};

// Made once per process: the daemon's singletons (logger, server configuration, stores) keep the
// root and server of their first use, so every run of the benchmark shares them.
struct Setup {
    BenchRoot root;
    testsupport::PortServer server{{RAVAVIZA_PYTHON, ZEM_SERVER, "--proto-path", ZEM_PROTO_PYTHON, "--quiet",
                                    "--log", root.path() + "/requests.jsonl"}};
    Replies replies;
    std::unique_ptr<ZemCore> core;
    std::shared_ptr<ZemSocketManager> link;

    Setup() {
        if (server.port() == 0) return;
        const std::string port = std::to_string(server.port());
        archive::archiveRootObjectToFile(
            archive::Array{archive::Array{"127.0.0.1", port}, archive::Array{"127.0.0.1", port}},
            paths::serverConfigFile());
        ZemResponseHandle::setDispatch([this](int32_t, const ZemResponse& response) {
            ZemReplyDispatcher::sharedInstance().handleResponse(response);
            std::lock_guard lock(replies.mutex);
            ++replies.count;
            replies.cv.notify_all();
        });
        ZemLinkContext context;
        context.startWriteTimer = false;  // the benchmark is the write tick
        core = std::make_unique<ZemCore>(context);
        core->initialConfig();
        link = core->socketManager();
    }
    ~Setup() {
        if (link) {
            link->invalidate();
            link->readSocketManager().waitForPendingReads(std::chrono::seconds(10));
        }
        ZemResponseHandle::setDispatch(nullptr);
        LogCoreHelper::sharedInstance().flush();
    }
};

void BM_HeartbeatWholePath(benchmark::State& state) {
    static Setup setup;
    if (!setup.link) {
        state.SkipWithError("the test management server did not start, or no link to it");
        return;
    }
    int64_t expected;
    {
        std::lock_guard lock(setup.replies.mutex);
        expected = setup.replies.count;
    }
    for (auto _ : state) {
        setup.core->sendHeartBeat();
        setup.link->handleSocketWrite();
        if (!setup.replies.waitFor(++expected)) {
            state.SkipWithError("no reply within 30 s");
            break;
        }
        LogCoreHelper::sharedInstance().flush();
    }
}
BENCHMARK(BM_HeartbeatWholePath)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
