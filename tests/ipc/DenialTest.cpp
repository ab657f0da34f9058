// Root's services stay usable while an unprivileged local user (uid 65534, in a child process)
// misbehaves: it holds lock files, parks idle connections, announces huge frames and sends
// nothing more, or pushes huge frames. Root's own calls must still succeed within their
// time-outs, and the serving process's memory, threads and descriptors stay bounded.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "PeerProcess.h"
#include "tests/support/TestFiles.h"
#include "platform/ipc/tests/TestRoot.h"
#include "platform/ipc/MessagePort.h"
#include "platform/ipc/NamedConnection.h"
#include "platform/ipc/XpcConnection.h"

namespace {

using ipctest::PeerProcess;
using ipctest::uniqueName;
using namespace std::chrono_literals;

constexpr uid_t kNobody = 65534;

struct Usage {
    long rssKiB = 0;
    long threads = 0;
    long fds = 0;
    std::string text() const {
        return "rss " + std::to_string(rssKiB / 1024) + " MiB, threads " + std::to_string(threads) +
               ", fds " + std::to_string(fds);
    }
};

Usage usage() {
    Usage u;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        std::istringstream in(line);
        std::string key;
        in >> key;
        if (key == "VmRSS:") in >> u.rssKiB;
        if (key == "Threads:") in >> u.threads;
    }
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d)) ++u.fds;
        ::closedir(d);
    }
    return u;
}

// One root service of each face, served by this (root) process.
class RootServices {
  public:
    static constexpr size_t kConnBytes = 4u << 20;
    static constexpr size_t kXpcBytes = 4u << 20;

    RootServices() {
        port =
            ipc::LocalMessagePort::create(portName, [](ipc::LocalMessagePort&, int32_t, const ipc::Bytes&) {
                return std::optional<ipc::Bytes>(ipc::Bytes{'o', 'k'});
            });
        if (port) portThread = std::thread([p = port] { p->run(); });

        ipc::VendedObject object;
        object.add("responseLiveOfBus", [](const archive::Array&) -> std::optional<archive::Value> {
            return archive::Value("live");
        });
        ipc::VendOptions vend;
        vend.maxMessageBytes = kConnBytes;
        conn = ipc::NamedConnection::vend(connName, object, vend);

        ipc::XpcOptions xo;
        xo.maxMessageBytes = kXpcBytes;
        // One message in arrival per user: eight connections pushing 4 MiB each would otherwise
        // hold 32 MiB, so the bound below shows the budget at work.
        xo.maxHeldBytesPerUser = kXpcBytes;
        xpc = ipc::XpcListener::create(xpcName, xo);
        xpc->setAcceptHandler([](const std::shared_ptr<ipc::XpcConnection>& c) {
            std::weak_ptr<ipc::XpcConnection> weak = c;
            c->setMessageHandler([](const ipc::XpcMessage& m, const ipc::XpcConnection::Reply& reply) {
                if (reply) reply({{"echo", m.count("x") ? m.at("x") : archive::Value(0)}});
            });
            c->resume();
            return true;
        });
        xpcListening = xpc->resume();
    }
    ~RootServices() {
        if (port) port->invalidate();
        if (portThread.joinable()) portThread.join();
        if (conn) conn->invalidate();
        if (xpc) xpc->invalidate();
    }
    bool ready() const { return port && conn && xpcListening; }

    // Root's three calls, each with a 5 s time-out; the failures, if any.
    std::string rootCallsFail() const {
        std::string failures;
        auto start = std::chrono::steady_clock::now();
        auto reply = ipc::sendMessage(portName, 7, {}, 5, 5);
        if (reply.status != ipc::MessageStatus::Success)
            failures += "port status " + std::to_string(int(reply.status)) + "; ";

        ipc::LookupOptions lookup;
        lookup.timeout = 5;
        auto proxy = ipc::ConnectionProxy::lookup(connName, lookup);
        if (!proxy) {
            failures += "no proxy; ";
        } else if (!proxy->call("responseLiveOfBus", {}, 5).ok()) {
            failures += "call failed; ";
        }

        ipc::XpcOptions xo;
        xo.sendTimeout = 5;
        auto c = ipc::XpcConnection::create(xpcName, xo);
        c->resume();
        auto answer = c->sendSync({{"x", 42}}, 5);
        if (!answer || answer->at("echo").integer() != 42) failures += "xpc no answer; ";
        c->invalidate();
        auto took = std::chrono::steady_clock::now() - start;
        if (took > 15s) failures += "took too long; ";
        return failures;
    }

    std::string portName = uniqueName("com.velmora.deny.port");
    std::string connName = uniqueName("com.velmora.deny.conn");
    std::string xpcName = uniqueName("com.velmora.deny.xpc");
    std::shared_ptr<ipc::LocalMessagePort> port;
    std::thread portThread;
    std::shared_ptr<ipc::NamedConnection> conn;
    std::shared_ptr<ipc::XpcListener> xpc;
    bool xpcListening = false;
};

struct Attack {
    const char* what;
    const char* kind;
    int count;
    size_t size;
    // Bounds on what the serving process may gain meanwhile.
    long maxRssMiB;
    long maxThreads;
    long maxFds;
};

class Denial : public ::testing::TestWithParam<Attack> {};

TEST_P(Denial, RootCallsSucceedAndTheServerStaysBounded) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the attacker as another user";
    const Attack& a = GetParam();
    RootServices services;
    ASSERT_TRUE(services.ready());
    ASSERT_EQ(services.rootCallsFail(), "");
    Usage before = usage();

    std::string kind = a.kind;
    const std::string& name = kind == "port"   ? services.portName
                              : kind == "conn" ? services.connName
                                               : services.xpcName;
    PeerProcess attacker({"attack", a.what, a.kind, name, std::to_string(a.count), std::to_string(a.size)},
                         kNobody);
    auto ready = attacker.readLine(60);
    ASSERT_TRUE(ready && ready->rfind("ready ", 0) == 0) << (ready ? *ready : "no answer");

    std::string failures = services.rootCallsFail();
    Usage during = usage();
    std::string figures = "before: " + before.text() + "; during: " + during.text() + " (" + *ready + ")";
    EXPECT_EQ(failures, "") << figures;
    if (testsupport::kMemoryFiguresMeaningful) {
        EXPECT_LE((during.rssKiB - before.rssKiB) / 1024, a.maxRssMiB) << figures;
    }
    EXPECT_LE(during.threads - before.threads, a.maxThreads) << figures;
    EXPECT_LE(during.fds - before.fds, a.maxFds) << figures;

    attacker.closeStdin();
    EXPECT_TRUE(attacker.wait(10));
    EXPECT_EQ(services.rootCallsFail(), "") << "after the attacker left";
}

// Connections beyond a user's turns wait (message ports and named connections: up to 16 served
// and 128 waiting per user) or are closed at once (XPC: 8 per user). Huge frames: sixteen named-
// connection clients pushing 4 MiB each would hold 64 MiB without the budget (8 MiB per user).
INSTANTIATE_TEST_SUITE_P(
    UnprivilegedPeer, Denial,
    ::testing::Values(Attack{"idle", "port", 500, 0, 16, 2, 160}, Attack{"idle", "conn", 200, 0, 16, 2, 160},
                      Attack{"idle", "xpc", 500, 0, 16, 10, 24},
                      Attack{"headers", "port", 40, 16u << 20, 16, 2, 160},
                      Attack{"headers", "conn", 40, RootServices::kConnBytes, 16, 2, 160},
                      Attack{"headers", "xpc", 40, RootServices::kXpcBytes, 16, 10, 24},
                      Attack{"huge", "conn", 16, RootServices::kConnBytes, 24, 2, 32},
                      Attack{"huge", "xpc", 8, RootServices::kXpcBytes, 20, 10, 24}),
    [](const ::testing::TestParamInfo<Attack>& info) {
        return std::string(info.param.what) + "_" + info.param.kind;
    });

// A lock file is the server's alone: nobody else can open it, and one left readable by an older
// release is replaced rather than trusted, so a user holding it cannot keep a name from root.
TEST(ipc_Denial, HeldLockFileDoesNotKeepANameFromRoot) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the attacker as another user";
    auto answer = [](ipc::LocalMessagePort&, int32_t, const ipc::Bytes&) {
        return std::optional<ipc::Bytes>(ipc::Bytes{'o', 'k'});
    };
    for (bool legacy : {false, true}) {
        SCOPED_TRACE(legacy ? "lock file left 0644" : "lock file made now");
        std::string name = uniqueName("com.velmora.lock");
        std::string lock = ipc::socketPath(ipc::ServiceKind::MessagePort, name) + ".lock";
        ASSERT_TRUE(ipc::ensureRuntimeFolder());
        if (legacy) {
            int fd = ::open(lock.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
            ASSERT_GE(fd, 0);
            ::fchmod(fd, 0644);
            ::close(fd);
        } else {
            auto first = ipc::LocalMessagePort::create(name, answer);
            ASSERT_TRUE(first);
            struct stat st {};
            ASSERT_EQ(::stat(lock.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0600u);
            first->invalidate();  // the server stops; the user tries to keep its name
        }
        PeerProcess attacker({"attack", "hold-lock", "port", name}, kNobody);
        auto ready = attacker.readLine(10);
        ASSERT_TRUE(ready);
        EXPECT_EQ(*ready, legacy ? "ready 1" : "ready 0");

        auto port = ipc::LocalMessagePort::create(name, answer);
        ASSERT_TRUE(port) << "the restarted server gets its name back";
        std::thread serve([port] { port->run(); });
        EXPECT_EQ(ipc::sendMessage(name, 1, {}, 5, 5).status, ipc::MessageStatus::Success);
        port->invalidate();
        serve.join();
    }
}

}  // namespace

namespace {

// CPU seconds a process has used, from /proc.
double cpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    auto close = text.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream in(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return double(utime + stime) / double(::sysconf(_SC_CLK_TCK));
}

// A server out of descriptors cannot accept; it must wait a little instead of spinning on the
// connection that stays queued.
class OutOfDescriptors : public ::testing::TestWithParam<const char*> {};

TEST_P(OutOfDescriptors, ServerBacksOffInsteadOfSpinning) {
    std::string kind = GetParam();
    std::string name = uniqueName("com.velmora.emfile");
    std::vector<std::string> args = kind == "xpc"
                                        ? std::vector<std::string>{"xpc-listen", name, "exhaust"}
                                        : std::vector<std::string>{"tessel-serve", name, "blob", "exhaust"};
    PeerProcess server(args);
    ASSERT_TRUE(server.expectLine("listening 1"));
    auto exhausted = server.readLine(10);
    ASSERT_TRUE(exhausted && exhausted->rfind("exhausted ", 0) == 0);
    ipc::UniqueFd queued = ipc::connectToService(
        kind == "xpc" ? ipc::ServiceKind::Xpc : ipc::ServiceKind::MessagePort, name, ipc::deadlineAfter(2));
    ASSERT_TRUE(queued.valid());
    // The measurement window: a server that spins burns all of it.
    double before = cpuSeconds(server.pid());
    auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(1s);
    double window = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double used = cpuSeconds(server.pid()) - before;
    EXPECT_LT(used, 0.25 * window) << "CPU " << used << " s in " << window << " s";
}

INSTANTIATE_TEST_SUITE_P(Servers, OutOfDescriptors, ::testing::Values("port", "xpc"));

}  // namespace
