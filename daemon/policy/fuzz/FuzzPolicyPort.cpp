// Feeds arbitrary request bodies, up to the port's 1 MiB request cap, to the policy database
// port's handlers: the lookup condition text (100001), a policy state to store (100002) and the
// run-state update by policy id (100006). A condition that parses becomes only known columns and
// placeholders; a reply is always well-formed JSON or the port's "1".
//
// Input: byte 0 picks the message, the rest is its body.
#include <unistd.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "daemon/policy/PolicyCondition.h"
#include "daemon/policy/ZemClientFMDB.h"
#include "daemon/policy/ZemSqliteIPCManager.h"

namespace {

// The database, and the daemon log the port writes, under a temporary product root.
hollin::ZemClientFMDB& database() {
    static hollin::ZemClientFMDB* db = [] {
        char dir[] = "/tmp/fuzz-policy-XXXXXX";
        if (!::mkdtemp(dir)) __builtin_trap();
        ::setenv("RAVAVIZA_ROOT", dir, 1);
        static std::string root = dir;
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(root, ec);
        });
        return new hollin::ZemClientFMDB(std::string(dir) + "/RavAviza.sqlite");
    }();
    return *db;
}

void checkCondition(std::string_view text) {
    auto where = policydb::PolicyCondition::parse(text);
    if (!where) return;
    if (text.size() > policydb::PolicyCondition::kMaxTextBytes) __builtin_trap();
    size_t equalities = 0;
    for (const auto& group : where->groups()) {
        for (const auto& e : group) {
            if (!e.column || !policydb::policyColumnNamed(e.column)) __builtin_trap();
            ++equalities;
        }
    }
    if (equalities > policydb::PolicyCondition::kMaxEqualities) __builtin_trap();
    // The caller's text never reaches the statement: only names, operators and placeholders.
    const std::string sql = where->sql();
    size_t marks = 0;
    for (char c : sql) {
        if (c == '?')
            ++marks;
        else if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == ' ' || c == '(' ||
                   c == ')' || c == '='))
            __builtin_trap();
    }
    if (marks != equalities) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size - 1 > hollin::ZemSqliteIPCManager::kMaxRequestBytes) return 0;
    static hollin::ZemSqliteIPCManager manager(database(), "fuzz-policy-port");
    static unsigned runs = 0;
    // The stored states grow with each 100002; start over now and then.
    if (++runs % 256 == 0) manager.handleMessage(100004, {});

    static constexpr int32_t kMessages[] = {100001, 100002, 100006, 100005};
    const int32_t msgid = kMessages[data[0] & 3];
    const ipc::Bytes body(data + 1, data + size);
    if (msgid == 100001)
        checkCondition(std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
    auto reply = manager.handleMessage(msgid, body);
    if (!reply) return 0;
    if (reply->size() == 1 && (*reply)[0] == '1') return 0;
    if (nlohmann::json::parse(reply->begin(), reply->end(), nullptr, false).is_discarded()) __builtin_trap();
    return 0;
}
