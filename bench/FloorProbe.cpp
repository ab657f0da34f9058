// The least any process built like the daemon can cost: libcurl initialised as the daemon does
// it (which starts OpenSSL), libstdc++ loaded, and one thread that wakes once a second, as the
// daemon's one-second wheel must. bench/daemon/bench_daemon.py measures it beside the daemon, on
// the same machine at the same time, so the daemon's figures can be read against what no change
// of ours can go below.
#include <curl/curl.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <mutex>

namespace {
volatile std::sig_atomic_t stopRequested = 0;
void onTerm(int) { stopRequested = 1; }
}  // namespace

int main() {
    std::signal(SIGTERM, onTerm);
    std::signal(SIGINT, onTerm);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    std::puts("READY");
    std::fflush(stdout);
    std::mutex m;
    std::condition_variable cv;
    std::unique_lock lock(m);
    auto next = std::chrono::steady_clock::now();
    while (!stopRequested) {
        next += std::chrono::seconds(1);
        cv.wait_until(lock, next, [] { return stopRequested != 0; });
    }
    curl_global_cleanup();
    return 0;
}
