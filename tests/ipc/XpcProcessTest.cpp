// Two-way connections between two processes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "PeerProcess.h"
#include "platform/ipc/tests/TestRoot.h"
#include "platform/ipc/Endpoint.h"
#include "platform/ipc/XpcConnection.h"
#include "platform/paths/Paths.h"

namespace {

using ipc::XpcConnection;
using ipc::XpcMessage;
using ipctest::PeerProcess;
using ipctest::uniqueName;
using namespace std::chrono_literals;

// Collects what the client hears: result messages and invalidations.
struct ClientLog {
    std::mutex m;
    std::condition_variable cv;
    std::vector<int64_t> results;
    int invalidations = 0;

    template <class Pred>
    bool waitUntil(Pred pred, std::chrono::milliseconds limit = 5000ms) {
        std::unique_lock<std::mutex> l(m);
        return cv.wait_for(l, limit, pred);
    }
};

int64_t intOf(const XpcMessage& m, const char* key) {
    auto it = m.find(key);
    return it == m.end() ? -1 : it->second.integer().value_or(-1);
}

std::shared_ptr<XpcConnection> connect(const std::string& name, ClientLog& log) {
    auto c = XpcConnection::create(name);
    c->setMessageHandler([&log](const XpcMessage& m, const XpcConnection::Reply& reply) {
        auto op = m.find("op");
        if (op == m.end() || !op->second.string()) return;
        if (*op->second.string() == "question" && reply) reply({{"answer", intOf(m, "x") * 2}});
        if (*op->second.string() == "result") {
            std::lock_guard<std::mutex> l(log.m);
            log.results.push_back(intOf(m, "value"));
            log.cv.notify_all();
        }
    });
    c->setInvalidationHandler([&log] {
        std::lock_guard<std::mutex> l(log.m);
        ++log.invalidations;
        log.cv.notify_all();
    });
    c->resume();
    return c;
}

TEST(ipc_Xpc, CallsWithRepliesRunBothWays) {
    std::string name = uniqueName("com.velmora.Sorrel");
    PeerProcess peer({"xpc-listen", name});
    ASSERT_TRUE(peer.expectLine("listening 1"));
    ClientLog log;
    auto c = connect(name, log);

    auto sum = c->sendSync({{"op", "add"}, {"a", 40}, {"b", 2}}, 5);
    ASSERT_TRUE(sum);
    EXPECT_EQ(intOf(*sum, "sum"), 42);
    ASSERT_TRUE(c->peer());
    EXPECT_EQ(c->peer()->pid, peer.pid());

    // The service asks the client back, then reports the client's answer.
    ASSERT_TRUE(c->send({{"op", "ask"}, {"x", 21}}));
    ASSERT_TRUE(log.waitUntil([&] { return !log.results.empty(); }));
    EXPECT_EQ(log.results.front(), 42);
    c->invalidate();
    EXPECT_TRUE(peer.expectLine("invalidated")) << "the service learns that the client went away";
    // The handlers refer to the log: it must outlive them.
    EXPECT_TRUE(log.waitUntil([&] { return log.invalidations == 1; }));
}

TEST(ipc_Xpc, ClientLearnsOnceWhenTheServiceProcessExits) {
    std::string name = uniqueName("com.velmora.Wendle");
    PeerProcess peer({"xpc-listen", name});
    ASSERT_TRUE(peer.expectLine("listening 1"));
    ClientLog log;
    auto c = connect(name, log);
    std::optional<std::optional<XpcMessage>> pending;
    std::mutex pm;
    ASSERT_TRUE(c->sendSync({{"op", "add"}, {"a", 1}, {"b", 1}}, 5));

    ASSERT_TRUE(c->send({{"op", "exit"}}, [&](std::optional<XpcMessage> reply) {
        std::lock_guard<std::mutex> l(pm);
        pending = std::move(reply);
    }));
    ASSERT_TRUE(log.waitUntil([&] { return log.invalidations > 0; }));
    EXPECT_TRUE(peer.wait(5));
    std::this_thread::sleep_for(100ms);
    std::lock_guard<std::mutex> l(log.m);
    EXPECT_EQ(log.invalidations, 1);
    std::lock_guard<std::mutex> p(pm);
    ASSERT_TRUE(pending.has_value()) << "the reply handler is called once, with nothing";
    EXPECT_FALSE(pending->has_value());
    EXPECT_FALSE(c->isValid());
}

TEST(ipc_Xpc, PrivilegedConnectionRefusesAServiceThatDoesNotRunAsRoot) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the service as another user";
    ASSERT_TRUE(ipc::ensureRuntimeFolder());
    std::string folder = paths::runtimeFolder();
    // Lets an unprivileged process register a name here, as an impostor would need to.
    ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
    std::string name = uniqueName("com.velmora.Sorrel");
    PeerProcess impostor({"xpc-listen", name}, uid_t(65534));
    bool listening = impostor.expectLine("listening 1");
    ::chmod(folder.c_str(), 0755);
    ASSERT_TRUE(listening);

    ClientLog log;
    auto plain = connect(name, log);
    auto sum = plain->sendSync({{"op", "add"}, {"a", 2}, {"b", 3}}, 5);
    ASSERT_TRUE(sum) << "an ordinary connection reaches it";
    EXPECT_EQ(intOf(*sum, "sum"), 5);
    plain->invalidate();
    ASSERT_TRUE(log.waitUntil([&] { return log.invalidations == 1; }));

    ipc::XpcOptions options;
    options.privileged = true;
    auto privileged = XpcConnection::create(name, options);
    ClientLog plog;
    privileged->setInvalidationHandler([&plog] {
        std::lock_guard<std::mutex> l(plog.m);
        ++plog.invalidations;
        plog.cv.notify_all();
    });
    privileged->resume();
    EXPECT_TRUE(plog.waitUntil([&] { return plog.invalidations == 1; }));
    EXPECT_FALSE(privileged->sendSync({{"op", "add"}, {"a", 2}, {"b", 3}}, 2));
}

}  // namespace
