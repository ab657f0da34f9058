// The messaging library within one process: client settings, the reply rules on the server's
// worker, the port's life, and the exported symbols.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "messaging/Tessel.h"
#include "platform/ipc/tests/TestRoot.h"

using tessel::IPCReceiveProtocol;
using tessel::TesselClient;
using tessel::TesselReplyReceived;
using tessel::TesselServer;
using tessel::TesselVersionNumber;
using tessel::TesselVersionString;

namespace {

using ipctest::uniqueName;
using namespace std::chrono_literals;

std::vector<uint8_t> bytes(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

std::string threadName() {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

// Answers with a fixed reply and records where and with what it was called.
class RecordingDelegate : public IPCReceiveProtocol {
  public:
    explicit RecordingDelegate(std::optional<std::vector<uint8_t>> answer) : answer_(std::move(answer)) {}
    std::optional<std::vector<uint8_t>> handleIPCReceiveData(const std::vector<uint8_t>& data,
                                                             int32_t msgid) override {
        std::lock_guard<std::mutex> l(m);
        lastData = data;
        lastId = msgid;
        thread = threadName();
        onQueue = queue && queue->isCurrent();
        ++calls;
        return answer_;
    }
    std::mutex m;
    std::shared_ptr<dispatch::WorkQueue> queue;
    std::vector<uint8_t> lastData;
    int32_t lastId = 0;
    std::string thread;
    bool onQueue = false;
    std::atomic<int> calls{0};

  private:
    std::optional<std::vector<uint8_t>> answer_;
};

TEST(tessel_Client, TimeOutsStartAtThirtySecondsAndBothSettersWork) {
    TesselClient client;
    EXPECT_EQ(client.sendTimeout(), 30.0);
    EXPECT_EQ(client.recvTimeout(), 30.0);
    client.setSendTimeout(60);
    client.setReceiveTimeout(60);
    EXPECT_EQ(client.sendTimeout(), 60.0);
    EXPECT_EQ(client.recvTimeout(), 60.0);
    client.setRecvTimeout(2.5);
    EXPECT_EQ(client.recvTimeout(), 2.5);
}

TEST(tessel_Server, DelegateAnswersOnTheIpcManagerWorker) {
    struct Case {
        const char* what;
        std::optional<std::vector<uint8_t>> answer;
        std::optional<std::vector<uint8_t>> reply;
    };
    const Case cases[] = {
        {"four bytes", bytes("ABCD"), bytes("ABCD")},
        {"nothing becomes \"0\"", std::nullopt, bytes("0")},
        {"empty blob is no data", std::vector<uint8_t>{}, std::nullopt},
    };
    for (const Case& c : cases) {
        auto delegate = std::make_shared<RecordingDelegate>(c.answer);
        TesselServer server;
        server.initWithDelegate(delegate, nullptr);
        std::string name = uniqueName("HollinIPCListenKey");
        ASSERT_TRUE(server.startListen(name));
        TesselClient client;
        uint64_t code = 0;
        EXPECT_EQ(client.sendMessageWithName(name, bytes("req"), 20001, &code), c.reply) << c.what;
        EXPECT_EQ(code, uint64_t(TesselReplyReceived)) << c.what;
        EXPECT_EQ(delegate->lastData, bytes("req"));
        EXPECT_EQ(delegate->lastId, 20001);
        EXPECT_EQ(delegate->thread, "IPC.manager");
    }
}

TEST(tessel_Server, DelegateQueueGetsTheCallAndTheSenderGetsZeroAtOnce) {
    auto delegate = std::make_shared<RecordingDelegate>(bytes("unused"));
    delegate->queue = dispatch::WorkQueue::create("com.velmora.test.delegate");
    // The queue is held up, so the answer cannot have waited for the delegate.
    std::atomic<bool> release{false};
    delegate->queue->dispatch([&] {
        while (!release) std::this_thread::sleep_for(2ms);
    });
    TesselServer server;
    server.initWithDelegate(delegate, delegate->queue);
    std::string name = uniqueName("queued");
    ASSERT_TRUE(server.startListen(name));
    TesselClient client;
    uint64_t code = 0;
    EXPECT_EQ(client.sendMessageWithName(name, bytes("later"), 3, &code), bytes("0"));
    EXPECT_EQ(code, uint64_t(TesselReplyReceived));
    EXPECT_EQ(delegate->calls.load(), 0);
    release = true;
    for (int i = 0; i < 500 && delegate->calls.load() == 0; ++i) std::this_thread::sleep_for(2ms);
    ASSERT_EQ(delegate->calls.load(), 1);
    std::lock_guard<std::mutex> l(delegate->m);
    EXPECT_TRUE(delegate->onQueue);
    EXPECT_EQ(delegate->lastData, bytes("later"));
}

TEST(tessel_Server, MissingOrReleasedDelegateAnswersMinusOne) {
    TesselServer plain;
    std::string a = uniqueName("plain");
    ASSERT_TRUE(plain.startListen(a));

    auto delegate = std::make_shared<RecordingDelegate>(bytes("x"));
    TesselServer released;
    released.initWithDelegate(delegate, dispatch::WorkQueue::create("com.velmora.test.unused"));
    delegate.reset();
    std::string b = uniqueName("released");
    ASSERT_TRUE(released.startListen(b));

    TesselClient client;
    for (const std::string& name : {a, b}) {
        uint64_t code = 0;
        EXPECT_EQ(client.sendMessageWithName(name, {}, 1, &code), bytes("-1")) << name;
        EXPECT_EQ(code, uint64_t(TesselReplyReceived));
    }
}

TEST(tessel_Server, StopListenMatchesTheNameIgnoringCaseAndAlwaysAnswersYes) {
    TesselServer server;
    std::string name = uniqueName("RavAvizaUIIPCListeningKey");
    ASSERT_TRUE(server.startListen(name));
    TesselClient client;
    EXPECT_TRUE(server.stopListen("some-other-name"));
    EXPECT_TRUE(client.startTestConnect(name));
    std::string lower = name;
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    EXPECT_TRUE(server.stopListen(lower));
    EXPECT_FALSE(client.startTestConnect(name));
    EXPECT_TRUE(server.stopListen(name)) << "again, with nothing to stop";
    EXPECT_TRUE(server.startListen(name)) << "the name can be taken again at once";
}

TEST(tessel_Server, SecondStartListenReplacesThePortAndAHeldNameIsRefused) {
    TesselServer first, second;
    std::string one = uniqueName("one"), two = uniqueName("two");
    ASSERT_TRUE(first.startListen(one));
    EXPECT_FALSE(second.startListen(one));
    EXPECT_FALSE(first.startListen(one)) << "its own name is held too";
    TesselClient client;
    EXPECT_TRUE(client.startTestConnect(one)) << "a refused start keeps the port that was there";

    ASSERT_TRUE(first.startListen(two));
    EXPECT_FALSE(client.startTestConnect(one)) << "a replaced port does not serve on, unreachable";
    EXPECT_TRUE(client.startTestConnect(two));
    EXPECT_TRUE(second.startListen(one));
}

TEST(tessel_Server, DestroyingTheServerWaitsForTheMessageInHand) {
    auto delegate = std::make_shared<RecordingDelegate>(bytes("done"));
    std::string name = uniqueName("dying");
    std::atomic<bool> entered{false};
    class SlowDelegate : public IPCReceiveProtocol {
      public:
        explicit SlowDelegate(std::atomic<bool>& e) : entered_(e) {}
        std::optional<std::vector<uint8_t>> handleIPCReceiveData(const std::vector<uint8_t>&,
                                                                 int32_t) override {
            entered_ = true;
            std::this_thread::sleep_for(300ms);
            return std::vector<uint8_t>{'o', 'k'};
        }

      private:
        std::atomic<bool>& entered_;
    };
    auto slow = std::make_shared<SlowDelegate>(entered);
    auto server = std::make_unique<TesselServer>();
    server->initWithDelegate(slow, nullptr);
    ASSERT_TRUE(server->startListen(name));
    std::thread sender([&] {
        TesselClient client;
        uint64_t code = 0;
        EXPECT_EQ(client.sendMessageWithName(name, {}, 1, &code), bytes("ok"));
    });
    while (!entered) std::this_thread::sleep_for(2ms);
    server.reset();  // must neither crash nor cut the answer short
    sender.join();
}

TEST(tessel_Library, ExportsItsVersionSymbolsButNotItsCallback) {
    EXPECT_EQ(TesselVersionNumber, 1.0);
    EXPECT_STREQ(reinterpret_cast<const char*>(TesselVersionString),
                 "@(#)PROGRAM:Tessel  PROJECT:Tessel-1\n");
    // The loaded library, found by its file name.
    std::string path;
    ::dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* out) {
            if (info->dlpi_name && std::strstr(info->dlpi_name, "libTessel")) {
                *static_cast<std::string*>(out) = info->dlpi_name;
                return 1;
            }
            return 0;
        },
        &path);
    ASSERT_FALSE(path.empty());
    void* lib = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(lib, nullptr);
    auto* number = static_cast<const double*>(::dlsym(lib, "TesselVersionNumber"));
    auto* text = static_cast<const char*>(::dlsym(lib, "TesselVersionString"));
    ASSERT_TRUE(number && text);
    EXPECT_EQ(*number, 1.0);
    EXPECT_STREQ(text, "@(#)PROGRAM:Tessel  PROJECT:Tessel-1\n");
    EXPECT_EQ(::dlsym(lib, "_ZN6tessel17onRecvMsgCallBackEPN3ipc16LocalMessagePortEiRKSt6vectorIhSaIhEEPv"), nullptr)
        << "the port callback stays inside the library";
    ::dlclose(lib);
}

// A program's own function of the callback's name (this file defines one below) must not take the
// library's place: the server still answers by its delegate.
TEST(tessel_Library, SameNamedFunctionOfTheProgramDoesNotReplaceTheCallback) {
    std::string name = uniqueName("interpose");
    auto delegate = std::make_shared<RecordingDelegate>(bytes("ABCD"));
    TesselServer server;
    server.initWithDelegate(delegate, nullptr);
    ASSERT_TRUE(server.startListen(name));
    TesselClient client;
    uint64_t code = 0;
    EXPECT_EQ(client.sendMessageWithName(name, bytes("x"), 3, &code), bytes("ABCD"));
    EXPECT_EQ(code, uint64_t(TesselReplyReceived));
    EXPECT_EQ(delegate->calls.load(), 1);
}

}  // namespace

namespace ipc {
class LocalMessagePort;
}

// Same name, namespace and parameters as the library's callback.
namespace tessel {
std::optional<std::vector<uint8_t>> onRecvMsgCallBack(ipc::LocalMessagePort*, int32_t,
                                                      const std::vector<uint8_t>&, void*) {
    return std::vector<uint8_t>{'h', 'i', 'j', 'a', 'c', 'k', 'e', 'd'};
}
}  // namespace tessel
