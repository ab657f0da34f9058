// Helpers of the link tests: a child process with a line-based start handshake, the loopback stub
// server, a port nothing listens on, bounded waits and reply bodies built with the schema.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TestFiles.h"
#include "proto/ZemUrlEncode.h"
#include "proto/zem_v5.pb.h"

extern char** environ;

namespace linktest {

using SteadyClock = std::chrono::steady_clock;
using Json = nlohmann::json;

inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = SteadyClock::now() + limit;
    while (SteadyClock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}
using testsupport::readText;

inline void writeText(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text;
    }
    std::filesystem::rename(tmp, path);
}

// One child process started from an argument vector; its first stdout line is the handshake.
// Killed and reaped when the object goes.
class Child {
  public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() { stop(); }

    // Starts the program; extraEnv entries are "NAME=value" added to this process's environment.
    bool start(std::vector<std::string> args, const std::vector<std::string>& extraEnv = {},
               const std::string& stdoutFile = "") {
        std::vector<std::string> envStrings;
        for (char** e = environ; *e; ++e) envStrings.emplace_back(*e);
        for (const std::string& e : extraEnv) envStrings.push_back(e);
        std::vector<char*> envp;
        for (auto& e : envStrings) envp.push_back(e.data());
        envp.push_back(nullptr);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);

        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (stdoutFile.empty()) {
            posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        } else {
            posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdoutFile.c_str(),
                                             O_WRONLY | O_CREAT | O_APPEND, 0644);
        }
        // Its own process group, so stop() also ends whatever it started.
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attr, 0);
        const int rc = posix_spawn(&pid_, argv[0], &actions, &attr, argv.data(), envp.data());
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        if (rc != 0) {
            pid_ = -1;
            ::close(fds[0]);
            return false;
        }
        out_ = fds[0];
        return true;
    }

    // The next stdout line, waiting at most the limit.
    std::string readLine(std::chrono::milliseconds limit = std::chrono::seconds(15)) {
        const auto deadline = SteadyClock::now() + limit;
        while (buffer_.find('\n') == std::string::npos && out_ >= 0 && SteadyClock::now() < deadline) {
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char buf[256];
            const ssize_t n = ::read(out_, buf, sizeof buf);
            if (n <= 0) break;
            buffer_.append(buf, static_cast<size_t>(n));
        }
        const size_t nl = buffer_.find('\n');
        if (nl == std::string::npos) return {};
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return line;
    }

    // SIGTERM to the group, SIGKILL after the grace period; always reaped.
    void stop(std::chrono::milliseconds grace = std::chrono::seconds(5)) {
        if (out_ >= 0) {
            ::close(out_);
            out_ = -1;
        }
        if (pid_ <= 0) return;
        ::kill(-pid_, SIGTERM);
        const auto deadline = SteadyClock::now() + grace;
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (SteadyClock::now() >= deadline) {
                ::kill(-pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        pid_ = -1;
    }

    // True while the process runs.
    bool running() {
        if (pid_ <= 0) return false;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        return true;
    }
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffer_;
};

using testsupport::closedPort;

// The link tests' stub server (link_stub_server.py): answers from a script file, logs requests.
class StubServer {
  public:
    StubServer(const std::string& folder, const std::string& name, Json script = Json::object()) {
        script_ = folder + "/" + name + "-script.json";
        log_ = folder + "/" + name + "-requests.jsonl";
        setScript(std::move(script));
        if (child_.start({RAVAVIZA_PYTHON, LINK_STUB_SERVER, "--script", script_, "--log", log_})) {
            const std::string line = child_.readLine();
            if (line.rfind("PORT ", 0) == 0) port_ = std::stoi(line.substr(5));
        }
    }
    int port() const { return port_; }
    void setScript(Json script) { writeText(script_, script.dump()); }
    void stop() { child_.stop(); }

    std::vector<Json> requests() const {
        std::vector<Json> out;
        std::istringstream in(readText(log_));
        for (std::string line; std::getline(in, line);)
            if (!line.empty()) out.push_back(Json::parse(line, nullptr, false));
        return out;
    }
    bool waitForRequests(size_t n, std::chrono::milliseconds limit = std::chrono::seconds(10)) const {
        return waitUntil([&] { return requests().size() >= n; }, limit);
    }

  private:
    Child child_;
    std::string script_;
    std::string log_;
    int port_ = 0;
};

inline std::string headerOf(const Json& request, const std::string& name) {
    for (auto it = request["headers"].begin(); it != request["headers"].end(); ++it) {
        std::string key = it.key();
        if (key.size() == name.size() && std::equal(key.begin(), key.end(), name.begin(), [](char a, char b) {
                return std::tolower(a) == std::tolower(b);
            }))
            return it.value().get<std::string>();
    }
    return {};
}

// The root message a request body carries.
inline ZemV5Root decodeRequest(const Json& request) {
    ZemV5Root root;
    const std::vector<uint8_t> bytes = zem::ZemUrlEncode::urldecode(request["body"].get<std::string>(), nullptr);
    root.ParseFromArray(bytes.data(), static_cast<int>(bytes.size()));
    return root;
}

// A reply body: the URL-encoded root message with a head of retcode 0 and the given body.
inline std::string replyText(int32_t action, const RspMsgBody& body, bool withBody = true) {
    ZemV5Root root;
    root.mutable_msghead()->set_action(action);
    root.mutable_msghead()->set_retcode(0);
    if (withBody) *root.mutable_msgrspbody() = body;
    std::string bytes;
    root.SerializeToString(&bytes);
    return zem::ZemUrlEncode::urlencodWithData(std::string_view(bytes));
}

inline std::string heartbeatReplyText(const std::vector<std::pair<int32_t, int64_t>>& commands = {}) {
    RspMsgBody body;
    HeartbeatMsgRsp* rsp = body.MutableExtension(ZemV5Root::heartbeatMsgRspBody);
    for (auto [type, seq] : commands) {
        CmdStatusRspItem* item = rsp->add_reqitemsarray();
        item->set_cmdtype(type);
        item->set_cmdseq(seq);
    }
    return replyText(1000, body);
}

inline std::string policyIdReplyText() {
    RspMsgBody body;
    body.MutableExtension(ZemV5Root::policyIdgetMsgRspBody)->add_rspitemsarray()->set_id_p(1);
    return replyText(5001, body);
}

inline Json answer(int status, const std::string& body) {
    return Json{{"status", status}, {"body", body}};
}

}  // namespace linktest
