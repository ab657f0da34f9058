// Test helper: writes policy rows into a database file from its own process.
//   policy_db_writer seed PATH COUNT     rows 1..COUNT at version 1, then exit
//   policy_db_writer replace PATH COUNT  in one replacePolicies: rows 1..COUNT at version 2 with large
//                                        content and ids 1..10 withdrawn; prints "done" and waits to be killed
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "daemon/policy/ZemClientFMDB.h"

using hollin::ZemClientFMDB;

namespace {

std::vector<nlohmann::json> rows(int64_t count, int64_t version, size_t contentBytes) {
    std::vector<nlohmann::json> out;
    out.reserve(size_t(count));
    for (int64_t id = 1; id <= count; ++id) {
        out.push_back({{"policy_id", id},
                       {"policy_version", version},
                       {"policy_moudle", "module"},
                       {"runCycle", 600},
                       {"max_timeout", "300"},
                       {"run_state", 0},
                       {"md5", ""},
                       {"deadline", ""},
                       {"content", std::string(contentBytes, char('a' + id % 26))}});
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) return 64;
    const std::string mode = argv[1];
    const int64_t count = std::atoll(argv[3]);
    ZemClientFMDB db(argv[2]);
    if (mode == "seed") return db.replacePolicies(rows(count, 1, 100), {}) ? 0 : 1;
    if (mode == "replace") {
        std::vector<int64_t> withdrawn;
        for (int64_t id = 1; id <= 10; ++id) withdrawn.push_back(id);
        if (!db.replacePolicies(rows(count, 2, 1024), withdrawn)) return 1;
        std::puts("done");
        std::fflush(stdout);
        for (;;) ::pause();
    }
    return 64;
}
