// Local IPC costs: one messaging-library message (connect, send, answer, close) against the floor
// of a raw socketpair ping-pong of the same size, and one named-connection call on an open proxy.
// Servers run on threads of this process; sockets live in a temporary root removed at the end.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "Tessel.h"
#include "ipc/Framing.h"
#include "ipc/NamedConnection.h"

namespace {

class EchoDelegate : public IPCReceiveProtocol {
  public:
    std::optional<std::vector<uint8_t>> handleIPCReceiveData(const std::vector<uint8_t>& data,
                                                             int32_t) override {
        return data;
    }
};

void BM_TesselRoundTrip(benchmark::State& state) {
    auto delegate = std::make_shared<EchoDelegate>();
    TesselServer server;
    server.initWithDelegate(delegate, nullptr);
    if (!server.startListen("bench.tessel")) {
        state.SkipWithError("cannot listen");
        return;
    }
    TesselClient client;
    std::vector<uint8_t> message(static_cast<size_t>(state.range(0)), 'm');
    uint64_t code = 0;
    for (auto _ : state) {
        auto reply = client.sendMessageWithName("bench.tessel", message, 1, &code);
        if (code != TesselReplyReceived) state.SkipWithError("message failed");
        benchmark::DoNotOptimize(reply);
    }
    server.stopListen("bench.tessel");
}
BENCHMARK(BM_TesselRoundTrip)->Arg(64)->Arg(4096)->Arg(64 * 1024)->UseRealTime();

// The same sizes framed over an already connected socketpair: what the transport itself costs.
void BM_SocketpairPingPong(benchmark::State& state) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        state.SkipWithError("socketpair");
        return;
    }
    std::thread echo([fd = sv[1]] {
        std::vector<uint8_t> frame;
        while (ipc::readFrame(fd, frame, 1 << 20, ipc::deadlineAfter(60)) == ipc::FrameStatus::Ok) {
            ipc::writeFrame(fd, frame, ipc::deadlineAfter(60));
        }
    });
    std::vector<uint8_t> message(static_cast<size_t>(state.range(0)), 'm'), reply;
    for (auto _ : state) {
        ipc::writeFrame(sv[0], message, ipc::deadlineAfter(10));
        if (ipc::readFrame(sv[0], reply, 1 << 20, ipc::deadlineAfter(10)) != ipc::FrameStatus::Ok) {
            state.SkipWithError("ping-pong failed");
        }
    }
    ::shutdown(sv[0], SHUT_RDWR);
    echo.join();
    ::close(sv[0]);
    ::close(sv[1]);
}
BENCHMARK(BM_SocketpairPingPong)->Arg(64)->Arg(4096)->Arg(64 * 1024)->UseRealTime();

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
BENCHMARK(BM_NamedConnectionCall)->Arg(1)->Arg(100)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    char root[] = "/tmp/ipc_bench_XXXXXX";
    if (!::mkdtemp(root)) return 1;
    ::setenv("RAVAVIZA_ROOT", root, 1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    return 0;
}
