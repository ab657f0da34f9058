// The second process of the IPC tests. It serves or calls one face of the IPC layer as its
// arguments say, reports on stdout one line per event, and takes commands on stdin until EOF.
//
//   ipc_peer tessel-serve NAME blob|empty|queue|released|slow|hang [exhaust]
//     exhaust: once serving, uses up its descriptors and says "exhausted N"
//   ipc_peer conn-vend NAME [root-only]
//   ipc_peer conn-call NAME          exit 0: called, 3: no proxy, 4: the call failed
//   ipc_peer xpc-listen NAME [exhaust]
//   ipc_peer tessel-serve-user NAME blob     serves in this user's own scope
//   ipc_peer mkdir-user UID                  "made 1|0": may this process make UID's folder?
//   ipc_peer attack WHAT KIND NAME [N [SIZE]]
//     WHAT: hold-lock (the name's lock file), idle (N quiet connections), headers (N
//     connections that announce a SIZE frame and send nothing more), huge (N connections that
//     send all but the last byte of a SIZE frame); KIND: port, conn or xpc. Reports "ready K"
//     (what it achieved) and holds everything until stdin closes.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "messaging/Tessel.h"
#include "platform/dispatch/WorkQueue.h"
#include "platform/ipc/NamedConnection.h"
#include "platform/ipc/XpcConnection.h"
#include "platform/paths/Paths.h"

using tessel::IPCReceiveProtocol;
using tessel::TesselServer;

namespace {

std::mutex outMutex;

void say(const std::string& line) {
    std::lock_guard<std::mutex> lock(outMutex);
    std::cout << line << std::endl;
}

class Delegate : public IPCReceiveProtocol {
  public:
    explicit Delegate(std::string behaviour) : behaviour_(std::move(behaviour)) {}
    std::optional<std::vector<uint8_t>> handleIPCReceiveData(const std::vector<uint8_t>& data,
                                                             int32_t msgid) override {
        std::string text(data.begin(), data.end());
        if (behaviour_ == "blob") return std::vector<uint8_t>{'A', 'B', 'C', 'D'};
        if (behaviour_ == "empty") return std::vector<uint8_t>{};
        if (behaviour_ == "queue") {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            say("delegate " + std::to_string(msgid) + " " + text);
            return std::vector<uint8_t>{'i', 'g', 'n', 'o', 'r', 'e', 'd'};
        }
        if (behaviour_ == "slow") {
            std::this_thread::sleep_for(std::chrono::seconds(2));
            return std::vector<uint8_t>{'l', 'a', 't', 'e'};
        }
        if (behaviour_ == "hang") {
            say("handling");
            std::this_thread::sleep_for(std::chrono::seconds(30));
        }
        return std::nullopt;
    }

  private:
    std::string behaviour_;
};

// Reads commands until stdin closes.
void commands(const std::function<void(const std::string&, const std::string&)>& handle) {
    std::string line;
    while (std::getline(std::cin, line)) {
        auto space = line.find(' ');
        handle(line.substr(0, space), space == std::string::npos ? "" : line.substr(space + 1));
    }
}

// Lowers the descriptor limit and takes every descriptor left, so accepting fails with EMFILE.
void exhaustDescriptors() {
    rlimit limit{64, 64};
    ::setrlimit(RLIMIT_NOFILE, &limit);
    int taken = 0;
    while (::dup(0) >= 0) ++taken;
    say("exhausted " + std::to_string(taken));
}

int tesselServe(const std::string& name, const std::string& behaviour, bool ownScope = false,
                bool exhaust = false) {
    auto delegate = std::make_shared<Delegate>(behaviour);
    std::shared_ptr<dispatch::WorkQueue> queue;
    if (behaviour == "queue") queue = dispatch::WorkQueue::create("com.velmora.test.delegate");
    TesselServer server;
    server.initWithDelegate(delegate, queue);
    if (behaviour == "released") delegate.reset();
    if (ownScope) server.setUserScope(::getuid());
    say(std::string("listening ") + (server.startListen(name) ? "1" : "0"));
    if (exhaust) exhaustDescriptors();
    commands([&](const std::string& cmd, const std::string& arg) {
        if (cmd == "stop") say(std::string("stopped ") + (server.stopListen(arg) ? "1" : "0"));
    });
    return 0;
}

ipc::VendedObject peerObject() {
    using archive::Array;
    using archive::Value;
    ipc::VendedObject o;
    o.add("responseLiveOfBus", [](const Array&) -> std::optional<Value> { return Value("live"); });
    o.add(
        "echo:", [](const Array& args) -> std::optional<Value> { return args.empty() ? Value() : args[0]; });
    o.add("sum:with:", [](const Array& args) -> std::optional<Value> {
        return Value(args.at(0).integer().value_or(0) + args.at(1).integer().value_or(0));
    });
    o.add("sleep:", [](const Array& args) -> std::optional<Value> {
        std::this_thread::sleep_for(std::chrono::milliseconds(args.at(0).integer().value_or(0)));
        return Value("awake");
    });
    o.add("pid",
          [](const Array&) -> std::optional<Value> { return Value(static_cast<int64_t>(::getpid())); });
    return o;
}

int connVend(const std::string& name, bool rootOnly) {
    ipc::VendOptions options;
    options.rootOnly = rootOnly;
    auto conn = ipc::NamedConnection::vend(name, peerObject(), options);
    say(std::string("vending ") + (conn ? "1" : "0"));
    commands([](const std::string&, const std::string&) {});
    return 0;
}

int connCall(const std::string& name) {
    auto proxy = ipc::ConnectionProxy::lookup(name);
    if (!proxy) return 3;
    return proxy->call("responseLiveOfBus", {}, 5).value == archive::Value("live") ? 0 : 4;
}

int64_t intOf(const ipc::XpcMessage& m, const char* key) {
    auto it = m.find(key);
    return it == m.end() ? 0 : it->second.integer().value_or(0);
}

std::string textOf(const ipc::XpcMessage& m, const char* key) {
    auto it = m.find(key);
    return it == m.end() || !it->second.string() ? "" : *it->second.string();
}

int xpcListen(const std::string& name, bool exhaust = false) {
    auto listener = ipc::XpcListener::create(name);
    listener->setAcceptHandler([](const std::shared_ptr<ipc::XpcConnection>& c) {
        std::weak_ptr<ipc::XpcConnection> weak = c;
        c->setMessageHandler([weak](const ipc::XpcMessage& m, const ipc::XpcConnection::Reply& reply) {
            std::string op = textOf(m, "op");
            if (op == "add" && reply) reply({{"sum", intOf(m, "a") + intOf(m, "b")}});
            if (op == "exit") ::_exit(0);
            if (op == "ask") {
                auto self = weak.lock();
                if (!self) return;
                // Calls back into the client and reports its answer in a message of its own.
                self->send({{"op", "question"}, {"x", intOf(m, "x")}},
                           [weak](std::optional<ipc::XpcMessage> answer) {
                               auto conn = weak.lock();
                               if (conn && answer)
                                   conn->send({{"op", "result"}, {"value", intOf(*answer, "answer")}});
                           });
            }
        });
        c->setInvalidationHandler([] { say("invalidated"); });
        c->resume();
        say("accepted");
        return true;
    });
    say(std::string("listening ") + (listener->resume() ? "1" : "0"));
    if (exhaust) exhaustDescriptors();
    commands([](const std::string&, const std::string&) {});
    return 0;
}

ipc::ServiceKind kindOf(const std::string& kind) {
    if (kind == "port") return ipc::ServiceKind::MessagePort;
    if (kind == "conn") return ipc::ServiceKind::Connection;
    return ipc::ServiceKind::Xpc;
}

// Sends what the socket takes without waiting; the rest is dropped.
size_t sendWhatFits(int fd, const std::vector<uint8_t>& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t w = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w <= 0) break;
        sent += static_cast<size_t>(w);
    }
    return sent;
}

int attack(const std::string& what, const std::string& kindText, const std::string& name, int count,
           size_t size) {
    ipc::ServiceKind kind = kindOf(kindText);
    std::vector<ipc::UniqueFd> held;
    std::vector<size_t> sent;  // bytes of each connection's frame sent at once
    int achieved = 0;
    if (what == "hold-lock") {
        std::string lock = ipc::socketPath(kind, name) + ".lock";
        ipc::UniqueFd fd(::open(lock.c_str(), O_RDONLY | O_CLOEXEC));
        if (fd.valid() && ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) achieved = 1;
        held.push_back(std::move(fd));
    } else {
        for (int i = 0; i < count; ++i) {
            ipc::UniqueFd fd = ipc::connectToService(kind, name, ipc::deadlineAfter(0.2));
            if (!fd.valid()) continue;
            if (what == "headers" || what == "huge") {
                uint32_t n = static_cast<uint32_t>(size);
                std::vector<uint8_t> frame{uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
                if (what == "huge") frame.resize(4 + size - 1, 'x');
                sent.push_back(sendWhatFits(fd.get(), frame));
            }
            held.push_back(std::move(fd));
            ++achieved;
        }
        if (what == "huge") {
            // Pushes the rest of every frame as the server takes it, for up to ten seconds; the
            // count is then of the connections the server still keeps.
            std::vector<size_t> left(held.size());
            for (size_t i = 0; i < held.size(); ++i) left[i] = 4 + size - 1 - sent[i];
            auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            std::vector<uint8_t> chunk(64 * 1024, 'x');
            while (std::chrono::steady_clock::now() < until) {
                std::vector<pollfd> fds;
                for (size_t i = 0; i < held.size(); ++i)
                    if (held[i].valid() && left[i] > 0) fds.push_back({held[i].get(), POLLOUT, 0});
                if (fds.empty()) break;
                if (::poll(fds.data(), fds.size(), 100) <= 0) continue;
                for (size_t i = 0; i < held.size(); ++i) {
                    if (!held[i].valid() || left[i] == 0) continue;
                    ssize_t w = ::send(held[i].get(), chunk.data(), std::min(left[i], chunk.size()),
                                       MSG_NOSIGNAL | MSG_DONTWAIT);
                    if (w > 0) left[i] -= static_cast<size_t>(w);
                    if (w < 0 && errno != EAGAIN && errno != EINTR) held[i].reset();
                }
            }
            achieved = 0;
            for (auto& fd : held) achieved += fd.valid() ? 1 : 0;
        }
    }
    say("ready " + std::to_string(achieved));
    commands([](const std::string&, const std::string&) {});
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: ipc_peer MODE NAME [ARG]\n");
        return 2;
    }
    std::string mode = argv[1], name = argv[2], arg = argc > 3 ? argv[3] : "";
    bool exhaust = argc > 4 && std::string(argv[argc - 1]) == "exhaust";
    if (mode == "tessel-serve") return tesselServe(name, arg, false, exhaust);
    if (mode == "conn-vend") return connVend(name, arg == "root-only");
    if (mode == "conn-call") return connCall(name);
    if (mode == "xpc-listen") return xpcListen(name, arg == "exhaust");
    if (mode == "tessel-serve-user") return tesselServe(name, arg, true);
    if (mode == "mkdir-user") {
        uid_t uid = static_cast<uid_t>(std::stoul(name));
        say(std::string("made ") + (ipc::openUserRuntimeFolder(uid, true).valid() ? "1" : "0"));
        return 0;
    }
    if (mode == "attack" && argc > 4) {
        int count = argc > 5 ? std::atoi(argv[5]) : 1;
        size_t size = argc > 6 ? std::strtoull(argv[6], nullptr, 10) : 0;
        return attack(name, arg, argv[4], count, size);
    }
    std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
    return 2;
}
