// The second process of the IPC tests. It serves or calls one face of the IPC layer as its
// arguments say, reports on stdout one line per event, and takes commands on stdin until EOF.
//
//   ipc_peer tessel-serve NAME blob|empty|queue|released|slow|hang
//   ipc_peer conn-vend NAME [root-only]
//   ipc_peer conn-call NAME          exit 0: called, 3: no proxy, 4: the call failed
//   ipc_peer xpc-listen NAME
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "Tessel.h"
#include "dispatch/WorkQueue.h"
#include "ipc/NamedConnection.h"
#include "ipc/XpcConnection.h"

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

int tesselServe(const std::string& name, const std::string& behaviour) {
    auto delegate = std::make_shared<Delegate>(behaviour);
    std::shared_ptr<dispatch::WorkQueue> queue;
    if (behaviour == "queue") queue = dispatch::WorkQueue::create("com.velmora.test.delegate");
    TesselServer server;
    server.initWithDelegate(delegate, queue);
    if (behaviour == "released") delegate.reset();
    say(std::string("listening ") + (server.startListen(name) ? "1" : "0"));
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

int xpcListen(const std::string& name) {
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
    if (mode == "tessel-serve") return tesselServe(name, arg);
    if (mode == "conn-vend") return connVend(name, arg == "root-only");
    if (mode == "conn-call") return connCall(name);
    if (mode == "xpc-listen") return xpcListen(name);
    std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
    return 2;
}
