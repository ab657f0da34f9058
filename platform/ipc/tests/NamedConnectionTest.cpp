#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "TestRoot.h"
#include "platform/ipc/NamedConnection.h"

namespace ipc {
namespace {

using archive::Array;
using archive::Dictionary;
using archive::Value;
using ipctest::uniqueName;
using namespace std::chrono_literals;

VendedObject testObject() {
    VendedObject o;
    o.add(
        "echo:", [](const Array& args) -> std::optional<Value> { return args.empty() ? Value() : args[0]; });
    o.add("sum:with:", [](const Array& args) -> std::optional<Value> {
        return Value(args.at(0).integer().value_or(0) + args.at(1).integer().value_or(0));
    });
    o.add("isNil:", [](const Array& args) -> std::optional<Value> { return Value(args.at(0).isNull()); });
    o.add("restartTimerPolicy", [](const Array&) -> std::optional<Value> { return std::nullopt; });
    o.add("sleep:", [](const Array& args) -> std::optional<Value> {
        std::this_thread::sleep_for(std::chrono::milliseconds(args.at(0).integer().value_or(0)));
        return Value("awake");
    });
    o.add("fail", [](const Array&) -> std::optional<Value> { throw std::runtime_error("boom"); });
    return o;
}

TEST(platform_ipc_NamedConnection, CallsCarryPropertyListArgumentsAndResults) {
    std::string name = uniqueName("conn");
    auto vended = NamedConnection::vend(name, testObject());
    ASSERT_TRUE(vended);
    auto proxy = ConnectionProxy::lookup(name);
    ASSERT_TRUE(proxy);

    Dictionary state{{"policyId", "12"},
                     {"runState", 1},
                     {"data", archive::Data{0, 1, 2}},
                     {"when", archive::Date{1.7e9}},
                     {"list", Array{1.5, true, "x"}}};
    struct Case {
        const char* what;
        std::string selector;
        Array args;
        CallStatus status;
        std::optional<Value> result;
    };
    const Case cases[] = {
        {"dictionary round trip", "echo:", {state}, CallStatus::Ok, Value(state)},
        {"text", "echo:", {"live"}, CallStatus::Ok, Value("live")},
        {"two integers", "sum:with:", {40, 2}, CallStatus::Ok, Value(42)},
        {"nil argument", "isNil:", {archive::Null{}}, CallStatus::Ok, Value(true)},
        {"nil inside an array", "echo:", Array{Value(Array{1, archive::Null{}})}, CallStatus::Ok,
         Value(Array{1, archive::Null{}})},
        {"void method", "restartTimerPolicy", {}, CallStatus::Ok, std::nullopt},
        {"unknown selector", "responseLiveOfBus", {}, CallStatus::UnknownSelector, std::nullopt},
        {"method that throws", "fail", {}, CallStatus::Failed, std::nullopt},
    };
    for (const Case& c : cases) {
        CallResult r = proxy->call(c.selector, c.args, 5);
        EXPECT_EQ(r.status, c.status) << c.what << ": " << r.error;
        EXPECT_EQ(r.value, c.result) << c.what;
    }
    EXPECT_EQ(proxy->call("fail", {}, 5).error, "boom");
    EXPECT_TRUE(proxy->isValid());
}

TEST(platform_ipc_NamedConnection, ArchivedObjectsPassOnlyWhenTheirClassIsAllowed) {
    archive::Object account{"AccountModel", {{"userName", "amy"}}};
    std::string open = uniqueName("objects");
    VendOptions allow;
    allow.allowedClasses = {"AccountModel"};
    auto allowing = NamedConnection::vend(open, testObject(), allow);
    std::string strict = uniqueName("strict");
    auto refusing = NamedConnection::vend(strict, testObject());
    ASSERT_TRUE(allowing && refusing);

    LookupOptions lookup;
    lookup.allowedClasses = {"AccountModel"};
    CallResult ok = ConnectionProxy::lookup(open, lookup)->call("echo:", {account}, 5);
    ASSERT_EQ(ok.status, CallStatus::Ok) << ok.error;
    ASSERT_TRUE(ok.value && ok.value->object());
    EXPECT_EQ(*ok.value->object(), account);

    auto proxy = ConnectionProxy::lookup(strict, lookup);
    CallResult refused = proxy->call("echo:", {account}, 5);
    EXPECT_EQ(refused.status, CallStatus::Failed);
    EXPECT_NE(refused.error.find("cannot be decoded"), std::string::npos) << refused.error;
    // The connection stays usable after a refused request.
    EXPECT_EQ(proxy->call("echo:", {"still"}, 5).value, Value("still"));
}

TEST(platform_ipc_NamedConnection, CallWithoutAnswerInTimeReturnsNoAnswerOnTime) {
    std::string name = uniqueName("slow");
    auto vended = NamedConnection::vend(name, testObject());
    auto proxy = ConnectionProxy::lookup(name);
    ASSERT_TRUE(vended && proxy);
    auto start = std::chrono::steady_clock::now();
    CallResult r = proxy->call("sleep:", {1500}, 0.3);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.status, CallStatus::NoAnswer);
    EXPECT_FALSE(r.value);
    EXPECT_GE(took, 250ms);
    EXPECT_LT(took, 1200ms);
    // The late answer must not be taken for another call's: this proxy is done, a new one works.
    EXPECT_FALSE(proxy->isValid());
    EXPECT_EQ(proxy->call("echo:", {"x"}, 1).status, CallStatus::InvalidConnection);
    auto again = ConnectionProxy::lookup(name);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->call("echo:", {"fresh"}, 5).value, Value("fresh"));
}

TEST(platform_ipc_NamedConnection, UnvendedOrWithdrawnNameGivesNoProxy) {
    std::string name = uniqueName("gone");
    EXPECT_FALSE(ConnectionProxy::lookup(name));
    auto vended = NamedConnection::vend(name, testObject());
    ASSERT_TRUE(vended);
    EXPECT_FALSE(NamedConnection::vend(name, testObject())) << "one name, one vendor";
    auto proxy = ConnectionProxy::lookup(name);
    ASSERT_TRUE(proxy);

    vended->invalidate();
    EXPECT_FALSE(vended->isValid());
    EXPECT_FALSE(ConnectionProxy::lookup(name));
    vended.reset();
    EXPECT_EQ(proxy->call("echo:", {"x"}, 2).status, CallStatus::InvalidConnection);
    EXPECT_FALSE(proxy->isValid());
}

TEST(platform_ipc_NamedConnection, LookupAfterTheVendorRestartedReachesTheNewVendor) {
    // Callers keep no connection between calls: a lookup after the vendor went away and came
    // back connects afresh, while a proxy kept from before stays invalid.
    std::string name = uniqueName("restart");
    auto first = NamedConnection::vend(name, testObject());
    ASSERT_TRUE(first);
    auto old = ConnectionProxy::lookup(name);
    ASSERT_TRUE(old);
    first->invalidate();
    first.reset();

    VendedObject second;
    second.add("echo:", [](const Array&) -> std::optional<Value> { return Value("second"); });
    auto again = NamedConnection::vend(name, std::move(second));
    ASSERT_TRUE(again);
    auto proxy = ConnectionProxy::lookup(name);
    ASSERT_TRUE(proxy);
    CallResult r = proxy->call("echo:", {"x"}, 2);
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(r.value->string() ? *r.value->string() : "", "second");
    EXPECT_EQ(old->call("echo:", {"x"}, 2).status, CallStatus::InvalidConnection);
}

TEST(platform_ipc_NamedConnection, CallersOnSeveralThreadsEachGetTheirOwnAnswer) {
    std::string name = uniqueName("threads");
    auto vended = NamedConnection::vend(name, testObject());
    auto proxy = ConnectionProxy::lookup(name);
    ASSERT_TRUE(vended && proxy);
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                if (proxy->call("sum:with:", {t * 1000, i}, 10).value == Value(t * 1000 + i)) ++good;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(good.load(), 400);
}

}  // namespace
}  // namespace ipc
