// The policy database: rows built, encrypted with their per-row key and stored (one transaction,
// or one upsert each), and message-port queries answered through the real socket.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/cipher/StringExtension.h"
#include "daemon/policy/ZemClientFMDB.h"
#include "daemon/policy/ZemSqliteIPCManager.h"
#include "tests/support/TempRoot.h"

using hollin::ZemClientFMDB;
using hollin::ZemSqliteIPCManager;

namespace {

using nlohmann::json;

constexpr int64_t kRows = 10000;

std::string freshPath() {
    static std::atomic<int> n{0};
    std::string dir = std::string(std::getenv("RAVAVIZA_ROOT")) + "/db-" + std::to_string(n++);
    std::filesystem::create_directories(dir);
    return dir + "/RavAviza.sqlite";
}

// A row as reply handling builds it: the content encrypted under module, deadline digits, id,
// version and run cycle.
json encryptedRow(int64_t id, int64_t version) {
    const std::string module = "security";
    const std::string deadline = "2026-12-31 23:59:59";
    const int64_t runCycle = 600;
    const json content = {{"rules", json::array({{{"path", "/usr/bin/example"}, {"action", "deny"}}})},
                          {"interval", 30}, {"id", id}};
    std::string key = module;
    for (char c : deadline) {
        if (c != '-' && c != ':' && c != ' ') key += c;
    }
    key += std::to_string(id) + std::to_string(version) + std::to_string(runCycle);
    auto sealed = Extension::aes256_encrypt(content.dump(4), key);
    return {{"policy_id", id},         {"policy_version", version}, {"policy_moudle", module},
            {"runCycle", runCycle},     {"deadline", deadline},      {"md5", ""},
            {"max_timeout", "300"},     {"run_state", 0},            {"content", sealed.value_or("")}};
}

void BM_EncryptAndReplace10k(benchmark::State& state) {
    int64_t version = 1;
    ZemClientFMDB db(freshPath());
    for (auto _ : state) {
        std::vector<json> rows;
        rows.reserve(kRows);
        for (int64_t id = 1; id <= kRows; ++id) rows.push_back(encryptedRow(id, version));
        if (!db.replacePolicies(rows, {})) state.SkipWithError("replacement failed");
        ++version;
    }
    state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_EncryptAndReplace10k)->Unit(benchmark::kMillisecond)->UseRealTime();

// One commit per row: with synchronous=FULL each commit waits for the disk, so this runs a tenth
// of the rows.
void BM_EncryptAndUpsertEach1k(benchmark::State& state) {
    constexpr int64_t kEach = kRows / 10;
    int64_t version = 1;
    ZemClientFMDB db(freshPath());
    for (auto _ : state) {
        for (int64_t id = 1; id <= kEach; ++id) {
            if (!db.upsertPolicy(encryptedRow(id, version))) state.SkipWithError("upsert failed");
        }
        ++version;
    }
    state.SetItemsProcessed(state.iterations() * kEach);
}
BENCHMARK(BM_EncryptAndUpsertEach1k)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// One query per iteration over the root-only port, served on its own thread as in the daemon.
void BM_PortQuery(benchmark::State& state) {
    const int32_t msgid = static_cast<int32_t>(state.range(0));
    ZemClientFMDB db(freshPath());
    std::vector<json> rows;
    for (int64_t id = 1; id <= 100; ++id) rows.push_back(encryptedRow(id, 1));
    db.replacePolicies(rows, {});
    const std::string name = "ZEMClient_Sqlite_ZEMBiz-bench-" + std::to_string(msgid);
    ZemSqliteIPCManager manager(db, name);
    std::thread server([&] { manager.startMsgPort(); });
    while (!ipc::canOpenPort(name)) std::this_thread::yield();
    const std::string condition = "where run_state=0";
    std::span<const uint8_t> data;
    if (msgid == 100001) data = {reinterpret_cast<const uint8_t*>(condition.data()), condition.size()};
    for (auto _ : state) {
        auto reply = ipc::sendMessage(name, msgid, data, 5, 30);
        if (reply.status != ipc::MessageStatus::Success || !reply.data) state.SkipWithError("no reply");
        benchmark::DoNotOptimize(reply);
    }
    state.SetItemsProcessed(state.iterations());
    manager.stopMsgPort();
    server.join();
}
BENCHMARK(BM_PortQuery)->Arg(100003)->Arg(100000)->Arg(100001)->MeasureProcessCPUTime()->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    testsupport::TempRoot root("policy_bench");
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
