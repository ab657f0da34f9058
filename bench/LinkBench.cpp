// Costs of the main server link. BM_LinkRoundTrip: one heartbeat record queued, sent at a write
// tick, answered on loopback by the link tests' stub server (a Python process, whose own time is
// part of the figure) and parsed until the reply handler has it. BM_RawHttpRoundTrip: the same
// request body POSTed to the same kind of server by a bare libcurl handle, reply collected and
// nothing else; the difference of the two is the link's own cost. BM_ParseHeartbeatReply: the
// read side alone on a reply with eight commands, without the network. The round trips' processor
// time is the whole process's (the link's read and write threads included), not the caller's.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "platform/archive/KeyedArchive.h"
#include "daemon/link/ZemResponseHandle.h"
#include "daemon/link/ZemSocketManager.h"
#include "daemon/link/ZemSocketReadManager.h"
#include "platform/paths/Paths.h"
#include "proto/ZemUrlEncode.h"
#include "proto/zem_v5.pb.h"
#include "common/server/ZemServerConfig.h"
#include "tests/support/TempRoot.h"

using zem::ZemUrlEncode;
using zem::ZemResponse;
using common::ZemServerConfig;
using hollin::ZemLinkContext;
using hollin::ZemResponseHandle;
using hollin::ZemSocketManager;
using hollin::ZemSocketMessageModel;
using hollin::ZemSocketReadManager;

extern char** environ;

namespace {

// A temporary product root for the records and logs the link writes.
class BenchRoot {
  public:
    BenchRoot() { std::filesystem::create_directories(paths::machineSupportFolder()); }

  private:
    testsupport::TempRoot root_{"rav-bench-link"};
};

// The link tests' stub server, quiet, answering every request with one reply text; it writes its
// port on its first line.
class StubServer {
  public:
    explicit StubServer(const std::string& replyText) {
        const std::string script = paths::root() + "/script.json";
        const std::string log = "/dev/null";
        std::ofstream(script) << "{\"default\": {\"status\": 200, \"body\": \"" << replyText << "\"}}";
        std::vector<std::string> args = {RAVAVIZA_PYTHON, LINK_STUB_SERVER, "--script", script, "--log", log};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        std::string line;
        for (int i = 0; i < 100 && pid_ > 0 && line.find('\n') == std::string::npos; ++i) {
            pollfd p{fds[0], POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char buf[64];
            const ssize_t n = ::read(fds[0], buf, sizeof buf);
            if (n <= 0) break;
            line.append(buf, static_cast<size_t>(n));
        }
        ::close(fds[0]);
        if (line.rfind("PORT ", 0) == 0) port_ = std::stoi(line.substr(5));
    }
    ~StubServer() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    int port() const { return port_; }

  private:
    pid_t pid_ = -1;
    int port_ = 0;
};

// Wakes the benchmark when a reply has been handed on.
class SignallingHandle : public ZemResponseHandle {
  public:
    void handleResponse(int32_t, const ZemResponse&) override {
        std::lock_guard lock(mutex_);
        ++count_;
        cv_.notify_all();
    }
    bool waitFor(int64_t count) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(30), [&] { return count_ >= count; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    int64_t count_ = 0;
};

std::string heartbeatReplyText() {
    ZemV5Root reply;
    reply.mutable_msghead()->set_action(1000);
    reply.mutable_msghead()->set_retcode(0);
    HeartbeatMsgRsp* rsp = reply.mutable_msgrspbody()->MutableExtension(ZemV5Root::heartbeatMsgRspBody);
    for (int type = 1; type <= 8; ++type) {
        CmdStatusRspItem* item = rsp->add_reqitemsarray();
        item->set_cmdtype(type);
        item->set_cmdseq(int64_t{1} << 33);
    }
    rsp->set_userticket("TGT-0123456789");
    return ZemUrlEncode::urlencodWithData(std::string_view(reply.SerializeAsString()));
}

// A heartbeat request body of action 1000.
std::vector<uint8_t> heartbeatRequestBody() {
    ZemV5Root request;
    request.mutable_msghead()->set_action(1000);
    request.mutable_reqmsgbody()->MutableExtension(ZemV5Root::heartbeatMsgReqBody)->set_loginuser("bench");
    const std::string text = ZemUrlEncode::urlencodWithData(std::string_view(request.SerializeAsString()));
    return {text.begin(), text.end()};
}

void BM_LinkRoundTrip(benchmark::State& state) {
    BenchRoot root;
    StubServer server(heartbeatReplyText());
    if (server.port() == 0) {
        state.SkipWithError("the stub server did not start");
        return;
    }
    archive::archiveRootObjectToFile(
        archive::Array{archive::Value(archive::Array{"127.0.0.1", std::to_string(server.port())})},
        paths::serverConfigFile());
    ZemServerConfig config;
    auto handle = std::make_shared<SignallingHandle>();
    ZemLinkContext context;
    context.serverConfig = &config;
    context.responseHandle = handle;
    context.startWriteTimer = false;  // the benchmark is the write tick
    auto link = std::make_shared<ZemSocketManager>(context);
    link->startConnectToHost("127.0.0.1", server.port());

    const std::vector<uint8_t> body = heartbeatRequestBody();

    int64_t handled = 0;
    for (auto _ : state) {
        link->sendMessage(ZemSocketMessageModel::create(ZemSocketMessageModel::kHeartBeat, body, 0));
        link->handleSocketWrite();
        if (!handle->waitFor(++handled)) {
            state.SkipWithError("no reply within 30 s");
            break;
        }
    }
    link->invalidate();
    link->readSocketManager().waitForPendingReads(std::chrono::seconds(10));
}
BENCHMARK(BM_LinkRoundTrip)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMicrosecond);

size_t collectReply(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

void BM_RawHttpRoundTrip(benchmark::State& state) {
    BenchRoot root;
    StubServer server(heartbeatReplyText());
    if (server.port() == 0) {
        state.SkipWithError("the stub server did not start");
        return;
    }
    const std::vector<uint8_t> body = heartbeatRequestBody();
    const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/yj/heartbeat";
    curl_global_init(CURL_GLOBAL_DEFAULT);
    CURL* curl = curl_easy_init();
    curl_slist* headers = curl_slist_append(nullptr, "Connection: Keep-Alive");
    headers = curl_slist_append(headers, "Expect:");
    std::string reply;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, reinterpret_cast<const char*>(body.data()));
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collectReply);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
    for (auto _ : state) {
        reply.clear();
        long status = 0;
        if (curl_easy_perform(curl) != CURLE_OK ||
            curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status != 200) {
            state.SkipWithError("the POST failed");
            break;
        }
        benchmark::DoNotOptimize(reply.data());
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
}
BENCHMARK(BM_RawHttpRoundTrip)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_ParseHeartbeatReply(benchmark::State& state) {
    BenchRoot root;
    const std::string text = heartbeatReplyText();

    auto handle = std::make_shared<SignallingHandle>();
    ZemLinkContext context;
    context.responseHandle = handle;
    auto reader = std::make_shared<ZemSocketReadManager>(context);
    for (auto _ : state) {
        auto record = ZemSocketMessageModel::create(ZemSocketMessageModel::kHeartBeat, {}, 0);
        record->readData.assign(text.begin(), text.end());
        record->readBodyLength = static_cast<int64_t>(text.size());
        // No server to record: the parse and hand-over alone are measured.
        reader->parseReadData(record);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ParseHeartbeatReply)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
