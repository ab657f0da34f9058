#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "TestRoot.h"
#include "platform/ipc/XpcConnection.h"

namespace ipc {
namespace {

using archive::Value;
using ipctest::uniqueName;
using namespace std::chrono_literals;

// Counts events and lets the test wait for them.
class Events {
  public:
    void add() {
        std::lock_guard<std::mutex> l(m_);
        ++n_;
        cv_.notify_all();
    }
    bool waitFor(int n, std::chrono::milliseconds limit = 5000ms) {
        std::unique_lock<std::mutex> l(m_);
        return cv_.wait_for(l, limit, [&] { return n_ >= n; });
    }
    int count() {
        std::lock_guard<std::mutex> l(m_);
        return n_;
    }

  private:
    std::mutex m_;
    std::condition_variable cv_;
    int n_ = 0;
};

int64_t intOf(const XpcMessage& m, const char* key) {
    auto it = m.find(key);
    return it == m.end() ? -1 : it->second.integer().value_or(-1);
}

// A listener whose connections add numbers, remember the last connection and count invalidations.
struct AddingService {
    explicit AddingService(const std::string& name) : listener(XpcListener::create(name)) {
        listener->setAcceptHandler([this](const std::shared_ptr<XpcConnection>& c) {
            c->setMessageHandler([this](const XpcMessage& m, const XpcConnection::Reply& reply) {
                received.push_back(intOf(m, "a"));
                if (reply) reply(XpcMessage{{"sum", intOf(m, "a") + intOf(m, "b")}});
                messages.add();
            });
            c->setInvalidationHandler([this] { invalidated.add(); });
            {
                std::lock_guard<std::mutex> l(m);
                last = c;
                all.push_back(c);
            }
            c->resume();
            accepted.add();
            return true;
        });
    }
    // The handlers use this object: every connection must have ended before it goes.
    ~AddingService() {
        listener.reset();  // joins its accepting thread
        std::vector<std::shared_ptr<XpcConnection>> conns;
        {
            std::lock_guard<std::mutex> l(m);
            conns = all;
        }
        for (auto& c : conns) c->invalidate();
        EXPECT_TRUE(invalidated.waitFor(static_cast<int>(conns.size())));
    }
    std::shared_ptr<XpcConnection> lastConnection() {
        std::lock_guard<std::mutex> l(m);
        return last;
    }
    std::shared_ptr<XpcListener> listener;
    std::mutex m;
    std::shared_ptr<XpcConnection> last;
    std::vector<std::shared_ptr<XpcConnection>> all;
    std::vector<int64_t> received;  // touched only on the connection's thread until read
    Events accepted, messages, invalidated;
};

TEST(platform_ipc_XpcConnection, CallsWithRepliesRunBothWays) {
    std::string name = uniqueName("xpc");
    AddingService service(name);
    ASSERT_TRUE(service.listener->resume());

    auto client = XpcConnection::create(name);
    client->setMessageHandler([](const XpcMessage& m, const XpcConnection::Reply& reply) {
        if (reply) reply(XpcMessage{{"twice", intOf(m, "x") * 2}});
    });
    client->resume();
    auto reply = client->sendSync(XpcMessage{{"a", 40}, {"b", 2}}, 5);
    ASSERT_TRUE(reply);
    EXPECT_EQ(intOf(*reply, "sum"), 42);

    ASSERT_TRUE(service.accepted.waitFor(1));
    auto back = service.lastConnection()->sendSync(XpcMessage{{"x", 21}}, 5);
    ASSERT_TRUE(back);
    EXPECT_EQ(intOf(*back, "twice"), 42);
    ASSERT_TRUE(service.lastConnection()->peer());
    EXPECT_EQ(service.lastConnection()->peer()->pid, ::getpid());
    client->invalidate();
}

TEST(platform_ipc_XpcConnection, MessagesWithoutReplyArriveInOrder) {
    std::string name = uniqueName("order");
    AddingService service(name);
    ASSERT_TRUE(service.listener->resume());
    auto client = XpcConnection::create(name);
    client->resume();
    for (int i = 0; i < 200; ++i) ASSERT_TRUE(client->send(XpcMessage{{"a", i}, {"b", 0}}));
    ASSERT_TRUE(service.messages.waitFor(200));
    for (int i = 0; i < 200; ++i) EXPECT_EQ(service.received[i], i);
    client->invalidate();
}

TEST(platform_ipc_XpcConnection, EachSideLearnsOnceThatTheOtherWentAway) {
    std::string name = uniqueName("gone");
    AddingService service(name);
    ASSERT_TRUE(service.listener->resume());
    Events clientInvalidated;
    auto client = XpcConnection::create(name);
    client->setInvalidationHandler([&] { clientInvalidated.add(); });
    client->resume();
    ASSERT_TRUE(client->sendSync(XpcMessage{{"a", 1}, {"b", 1}}, 5));

    client->invalidate();
    client->invalidate();
    EXPECT_TRUE(service.invalidated.waitFor(1));
    EXPECT_TRUE(clientInvalidated.waitFor(1));
    EXPECT_FALSE(client->send(XpcMessage{{"a", 1}}));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(service.invalidated.count(), 1);
    EXPECT_EQ(clientInvalidated.count(), 1);

    // The other way round: the service ends the connection, and the client hears of it.
    Events second;
    auto again = XpcConnection::create(name);
    again->setInvalidationHandler([&] { second.add(); });
    again->resume();
    ASSERT_TRUE(again->sendSync(XpcMessage{{"a", 1}, {"b", 1}}, 5));
    service.lastConnection()->invalidate();
    EXPECT_TRUE(second.waitFor(1));
    EXPECT_FALSE(again->isValid());
}

TEST(platform_ipc_XpcConnection, PendingReplyGetsNothingWhenTheConnectionEnds) {
    std::string name = uniqueName("noreply");
    auto listener = XpcListener::create(name);
    listener->setAcceptHandler([](const std::shared_ptr<XpcConnection>& c) {
        std::weak_ptr<XpcConnection> weak = c;
        // Drops the message's reply and ends the connection instead.
        c->setMessageHandler([weak](const XpcMessage&, const XpcConnection::Reply&) {
            if (auto self = weak.lock()) self->invalidate();
        });
        c->resume();
        return true;
    });
    ASSERT_TRUE(listener->resume());
    auto client = XpcConnection::create(name);
    client->resume();
    Events done;
    std::optional<std::optional<XpcMessage>> got;
    client->send(XpcMessage{{"a", 1}}, [&](std::optional<XpcMessage> reply) {
        got = std::move(reply);
        done.add();
    });
    ASSERT_TRUE(done.waitFor(1));
    ASSERT_TRUE(got.has_value());
    EXPECT_FALSE(got->has_value());
}

TEST(platform_ipc_XpcConnection, ConnectingToNobodyInvalidatesAtOnce) {
    Events invalidated;
    auto client = XpcConnection::create(uniqueName("nobody"));
    client->setInvalidationHandler([&] { invalidated.add(); });
    client->resume();
    EXPECT_TRUE(invalidated.waitFor(1));
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client->sendSync(XpcMessage{{"a", 1}}, 5));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST(platform_ipc_XpcListener, HeldServiceNameCannotBeListenedOnTwice) {
    std::string name = uniqueName("held");
    auto first = XpcListener::create(name);
    auto second = XpcListener::create(name);
    ASSERT_TRUE(first->resume());
    EXPECT_FALSE(second->resume());
    first->invalidate();
    EXPECT_TRUE(XpcListener::create(name)->resume());
}

}  // namespace
}  // namespace ipc
