// PeerStandIn: a recording stand-in for the daemon's peers outside the system. It vends the
// connections named on its command line and appends every call it receives, as one JSON line
// {"connection", "selector", "args"}, to the record file. Data arguments are written as text.
//
//   PeerStandIn --record FILE runner      RavAviza_policy_run_connection (the policy runner)
//   PeerStandIn --record FILE report      RavAviza_zem_bus_connection and RavAviza_report_live_connection
//   PeerStandIn -upgrade [-1]             RavAviza_upgrade_connection, recorded to
//                                         $RAVAVIZA_ROOT/upgrade-calls.jsonl (the form the daemon
//                                         starts the upgrade app with); its pid goes to
//                                         $RAVAVIZA_ROOT/upgrade-standin.pid
//
// Runs until killed. Exit status 1 when a name is already vended, 64 for bad usage.
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/ipc/NamedConnection.h"

namespace {

std::mutex gMutex;
std::string gRecord;

nlohmann::json toJson(const archive::Value& v) {
    if (const auto* s = v.string()) return *s;
    if (const auto* d = v.data()) return std::string(d->begin(), d->end());
    if (const auto* a = v.array()) {
        nlohmann::json out = nlohmann::json::array();
        for (const auto& e : *a) out.push_back(toJson(e));
        return out;
    }
    if (const auto* m = v.dictionary()) {
        nlohmann::json out = nlohmann::json::object();
        for (const auto& [k, e] : *m) out[k] = toJson(e);
        return out;
    }
    if (v.isBool()) return *v.boolean();
    if (v.isInteger()) return *v.integer();
    if (v.isReal()) return *v.real();
    return nullptr;
}

void record(const std::string& connection, const std::string& selector, const archive::Array& args) {
    nlohmann::json line = {
        {"connection", connection}, {"selector", selector}, {"args", toJson(archive::Value(args))}};
    std::lock_guard lock(gMutex);
    std::ofstream out(gRecord, std::ios::app);
    out << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
}

ipc::VendedObject recorder(
    const std::string& connection,
    const std::vector<std::pair<std::string, std::optional<archive::Value>>>& methods) {
    ipc::VendedObject o;
    for (const auto& [selector, answer] : methods) {
        o.add(selector, [connection, selector = selector, answer = answer](const archive::Array& args) {
            record(connection, selector, args);
            return answer;
        });
    }
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::vector<std::pair<std::string, ipc::VendedObject>> vend;
    const std::optional<archive::Value> none;
    if (!args.empty() && args[0] == "-upgrade") {
        const char* root = std::getenv("RAVAVIZA_ROOT");
        gRecord = std::string(root ? root : "") + "/upgrade-calls.jsonl";
        // So that whoever cleans the root up can end this copy, which runs on its own.
        std::ofstream(std::string(root ? root : "") + "/upgrade-standin.pid") << ::getpid();
        vend.emplace_back(
            "RavAviza_upgrade_connection",
            recorder("RavAviza_upgrade_connection", {{"startUpgradeApp:", none},
                                                     {"startUpgradeByTipUser", none},
                                                     {"startUpgradeByTipForce", none},
                                                     {"startDownloadUpgradeAndNotInstall:", none},
                                                     {"startUpgradeByUser", none}}));
    } else if (args.size() == 3 && args[0] == "--record" && args[2] == "runner") {
        gRecord = args[1];
        vend.emplace_back(
            "RavAviza_policy_run_connection",
            recorder("RavAviza_policy_run_connection", {{"responseLiveOfBiz", archive::Value("live")},
                                                        {"executePolicy:", none},
                                                        {"restartTimerPolicy", none},
                                                        {"schemePolicyIsValide", archive::Value(true)}}));
    } else if (args.size() == 3 && args[0] == "--record" && args[2] == "report") {
        gRecord = args[1];
        vend.emplace_back(
            "RavAviza_report_live_connection",
            recorder("RavAviza_report_live_connection", {{"responseLiveOfBus", archive::Value("live")}}));
        vend.emplace_back("RavAviza_zem_bus_connection",
                          recorder("RavAviza_zem_bus_connection",
                                   {{"reportGetPolicyState:", none}, {"uploadDebugLog", none}}));
    } else {
        std::cerr << "usage: PeerStandIn --record FILE runner|report | -upgrade [-1]\n";
        return 64;
    }
    std::vector<std::shared_ptr<ipc::NamedConnection>> held;
    for (auto& [name, object] : vend) {
        auto c = ipc::NamedConnection::vend(name, std::move(object));
        if (!c) {
            std::cerr << name << " is vended already\n";
            return 1;
        }
        held.push_back(std::move(c));
    }
    std::cout << "READY" << std::endl;
    for (;;) ::pause();
}
