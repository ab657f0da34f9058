// MarletStandIn: a stand-in for the outside policy runner, limited to what it asks of the daemon's
// policy-database message port. Each command sends one message and prints the reply data as it came.
//
//   MarletStandIn [--port NAME] rows                        all policy rows (100000)
//   MarletStandIn [--port NAME] pending                     rows not yet started (100001)
//   MarletStandIn [--port NAME] state ID VERSION STATE TS   record a run state (100002)
//   MarletStandIn [--port NAME] count | clear | states      run states: count, empty, list (100003-100005)
//   MarletStandIn [--port NAME] started ID                  mark a policy as started (100006)
//   MarletStandIn [--port NAME] send MSGID [DATA]           any message, DATA sent as given
//
// Exit status: 0 a reply with data, 1 a reply without data, 2 no answer from the port, 64 bad usage.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/ipc/MessagePort.h"

namespace {

constexpr double kSendTimeout = 10.0;
constexpr double kReceiveTimeout = 30.0;

int usage() {
    std::cerr << "usage: MarletStandIn [--port NAME] rows | pending | state ID VERSION STATE TS | count | clear |"
                 " states | started ID | send MSGID [DATA]\n";
    return 64;
}

bool readInt64(const std::string& text, int64_t& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return false;
    out = v;
    return true;
}

int send(const std::string& port, int32_t msgid, const std::string& data) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
    ipc::MessageReply reply = ipc::sendMessage(port, msgid, {bytes, data.size()}, kSendTimeout, kReceiveTimeout);
    if (reply.status != ipc::MessageStatus::Success) {
        std::cerr << "no answer from " << port << " (status " << static_cast<int>(reply.status) << ")\n";
        return 2;
    }
    if (!reply.data) {
        std::cerr << "no reply data\n";
        return 1;
    }
    std::fwrite(reply.data->data(), 1, reply.data->size(), stdout);
    std::fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string port = "ZEMClient_Sqlite_ZEMBiz";
    if (args.size() >= 2 && args[0] == "--port") {
        port = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty()) return usage();
    const std::string& cmd = args[0];
    const size_t n = args.size() - 1;

    if (cmd == "rows" && n == 0) return send(port, 100000, "");
    if (cmd == "pending" && n == 0) return send(port, 100001, "where run_state=0");
    if (cmd == "state" && n == 4) {
        nlohmann::json state = {
            {"policyId", args[1]}, {"policyVersion", args[2]}, {"runState", args[3]}, {"lastTimeStamp", args[4]}};
        return send(port, 100002, state.dump());
    }
    if (cmd == "count" && n == 0) return send(port, 100003, "");
    if (cmd == "clear" && n == 0) return send(port, 100004, "");
    if (cmd == "states" && n == 0) return send(port, 100005, "");
    if (cmd == "started" && n == 1) {
        int64_t id = 0;
        if (!readInt64(args[1], id)) return usage();
        return send(port, 100006, nlohmann::json{{"policy_id", id}}.dump());
    }
    if (cmd == "send" && (n == 1 || n == 2)) {
        int64_t msgid = 0;
        if (!readInt64(args[1], msgid) || msgid < INT32_MIN || msgid > INT32_MAX) return usage();
        return send(port, static_cast<int32_t>(msgid), n == 2 ? args[2] : "");
    }
    return usage();
}
