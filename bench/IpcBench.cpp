// Local IPC costs: one messaging-library message (connect, send, answer, close) against the floor
// of a raw socketpair ping-pong of the same size, and one named-connection call on an open proxy.
// Servers run on threads of this process; sockets live in a temporary root removed at the end.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "messaging/Tessel.h"
#include "platform/ipc/Framing.h"
#include "platform/ipc/NamedConnection.h"
#include "tests/support/TempRoot.h"

using tessel::IPCReceiveProtocol;
using tessel::TesselClient;
using tessel::TesselReplyReceived;
using tessel::TesselServer;

namespace {

class EchoDelegate : public IPCReceiveProtocol {
  public:
    std::optional<std::vector<uint8_t>> handleIPCReceiveData(const std::vector<uint8_t>& data,
                                                             int32_t) override {
        return data;
    }
};

bool writeAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool readAll(int fd, uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t r = ::read(fd, p, n);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// One length-prefixed message each way over blocking sockets: the transport's own cost.
bool rawRoundTrip(int fd, std::vector<uint8_t>& buffer) {
    uint32_t n = static_cast<uint32_t>(buffer.size());
    if (!writeAll(fd, reinterpret_cast<const uint8_t*>(&n), sizeof n) || !writeAll(fd, buffer.data(), n))
        return false;
    return readAll(fd, reinterpret_cast<uint8_t*>(&n), sizeof n) && n == buffer.size() &&
           readAll(fd, buffer.data(), n);
}

// The messaging library and the raw ping-pong take turns in batches within one run, so that
// whatever else the machine does hits both alike; the counters give each one's time per round
// trip and their ratio.
void BM_TesselAgainstSocketpair(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    auto delegate = std::make_shared<EchoDelegate>();
    TesselServer server;
    server.initWithDelegate(delegate, nullptr);
    if (!server.startListen("bench.tessel")) {
        state.SkipWithError("cannot listen");
        return;
    }
    TesselClient client;
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        state.SkipWithError("socketpair");
        return;
    }
    std::thread echo([fd = sv[1]] {
        std::vector<uint8_t> buffer;
        uint32_t n;
        while (readAll(fd, reinterpret_cast<uint8_t*>(&n), sizeof n)) {
            buffer.resize(n);
            if (!readAll(fd, buffer.data(), n)) break;
            if (!writeAll(fd, reinterpret_cast<const uint8_t*>(&n), sizeof n) ||
                !writeAll(fd, buffer.data(), n))
                break;
        }
    });

    std::vector<uint8_t> message(size, 'm'), raw(size, 'r');
    constexpr int kBatch = 8;
    using Clock = std::chrono::steady_clock;
    Clock::duration tessel{}, socketpair{};
    int64_t trips = 0;
    uint64_t code = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            auto reply = client.sendMessageWithName("bench.tessel", message, 1, &code);
            if (code != TesselReplyReceived || !reply || reply->size() != size)
                state.SkipWithError("message failed");
            benchmark::DoNotOptimize(reply);
        }
        auto t1 = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            if (!rawRoundTrip(sv[0], raw)) state.SkipWithError("ping-pong failed");
        }
        auto t2 = Clock::now();
        tessel += t1 - t0;
        socketpair += t2 - t1;
        trips += kBatch;
    }
    ::shutdown(sv[0], SHUT_RDWR);
    echo.join();
    ::close(sv[0]);
    ::close(sv[1]);
    server.stopListen("bench.tessel");
    if (trips > 0) {
        double t = std::chrono::duration<double, std::micro>(tessel).count() / double(trips);
        double r = std::chrono::duration<double, std::micro>(socketpair).count() / double(trips);
        state.counters["tessel_us"] = t;
        state.counters["socketpair_us"] = r;
        state.counters["ratio"] = r > 0 ? t / r : 0;
    }
}
BENCHMARK(BM_TesselAgainstSocketpair)->Arg(64)->Arg(4096)->Arg(64 * 1024)->MeasureProcessCPUTime()->UseRealTime();

void BM_NamedConnectionCall(benchmark::State& state) {
    ipc::VendedObject object;
    object.add("reportGetPolicyState:", [](const archive::Array& args) -> std::optional<archive::Value> {
        return archive::Value(static_cast<int64_t>(args.empty() ? 0 : 1));
    });
    auto vended = ipc::NamedConnection::vend("bench.connection", object);
    auto proxy = vended ? ipc::ConnectionProxy::lookup("bench.connection") : nullptr;
    if (!proxy) {
        state.SkipWithError("cannot vend or look up");
        return;
    }
    archive::Array states;
    for (int i = 0; i < state.range(0); ++i) {
        states.push_back(archive::Dictionary{{"policyId", std::to_string(i)}, {"runState", "1"}});
    }
    for (auto _ : state) {
        auto r = proxy->call("reportGetPolicyState:", {archive::Value(states)}, 10);
        if (!r.ok()) state.SkipWithError("call failed");
    }
}
BENCHMARK(BM_NamedConnectionCall)->Arg(1)->Arg(100)->MeasureProcessCPUTime()->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    testsupport::TempRoot root("ipc_bench");
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
