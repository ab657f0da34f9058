// Named connections between two processes.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "PeerProcess.h"
#include "platform/ipc/tests/TestRoot.h"
#include "platform/ipc/Endpoint.h"
#include "platform/ipc/NamedConnection.h"

namespace {

using archive::Array;
using archive::Dictionary;
using archive::Value;
using ipc::CallStatus;
using ipc::ConnectionProxy;
using ipctest::PeerProcess;
using ipctest::uniqueName;
using namespace std::chrono_literals;

TEST(ipc_NamedConnection, CallsCarryPlistArgumentsAndResultsAcrossProcesses) {
    std::string name = uniqueName("RavAviza_report_live_connection");
    PeerProcess peer({"conn-vend", name});
    ASSERT_TRUE(peer.expectLine("vending 1"));
    auto proxy = ConnectionProxy::lookup(name);
    ASSERT_TRUE(proxy);

    EXPECT_EQ(proxy->call("responseLiveOfBus").value, Value("live"));
    EXPECT_EQ(proxy->call("sum:with:", {40, 2}).value, Value(42));
    EXPECT_EQ(proxy->call("pid").value, Value(static_cast<int64_t>(peer.pid())));
    Array states{Dictionary{{"policyId", "7"}, {"runState", "1"}}, Dictionary{{"policyId", "8"}}};
    EXPECT_EQ(proxy->call("echo:", Array{Value(states)}).value, Value(states));
    EXPECT_EQ(proxy->call("echo:", {archive::Null{}}).value, Value(archive::Null{})) << "nil travels";
    EXPECT_EQ(proxy->call("schemePolicyIsValide").status, CallStatus::UnknownSelector);
}

TEST(ipc_NamedConnection, CallWithoutAnswerInTimeReturnsNoAnswerOnTime) {
    std::string name = uniqueName("slowpeer");
    PeerProcess peer({"conn-vend", name});
    ASSERT_TRUE(peer.expectLine("vending 1"));
    auto proxy = ConnectionProxy::lookup(name);
    ASSERT_TRUE(proxy);
    auto start = std::chrono::steady_clock::now();
    auto r = proxy->call("sleep:", {3000}, 0.5);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.status, CallStatus::NoAnswer);
    EXPECT_FALSE(r.value);
    EXPECT_GE(took, 450ms);
    EXPECT_LT(took, 1500ms);
}

TEST(ipc_NamedConnection, NameNobodyVendsGivesNoProxy) {
    std::string name = uniqueName("unvended");
    EXPECT_FALSE(ConnectionProxy::lookup(name));
    {
        PeerProcess peer({"conn-vend", name});
        ASSERT_TRUE(peer.expectLine("vending 1"));
        EXPECT_TRUE(ConnectionProxy::lookup(name));
        peer.kill(SIGKILL);
        ASSERT_TRUE(peer.wait(5));
    }
    EXPECT_FALSE(ConnectionProxy::lookup(name)) << "the dead vendor's socket file must not pass for it";
}

// Runs `ipc_peer conn-call NAME` as the given user (or as ourselves) and returns its exit status.
int callAs(std::optional<uid_t> uid, const std::string& name) {
    pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        if (uid && (::setgroups(0, nullptr) != 0 || ::setgid(*uid) != 0 || ::setuid(*uid) != 0)) ::_exit(126);
        const char* argv[] = {IPC_PEER_PATH, "conn-call", name.c_str(), nullptr};
        ::execve(IPC_PEER_PATH, const_cast<char**>(argv), environ);
        ::_exit(127);
    }
    int status = 0;
    for (int i = 0; i < 1000 && ::waitpid(pid, &status, WNOHANG) == 0; ++i) std::this_thread::sleep_for(10ms);
    if (::waitpid(pid, &status, WNOHANG) == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ipc_NamedConnection, RootOnlyConnectionRefusesAnUnprivilegedPeer) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch a child to another user";
    std::string name = uniqueName("rootonly");
    ipc::VendOptions options;
    options.rootOnly = true;
    ipc::VendedObject object;
    object.add("responseLiveOfBus", [](const Array&) -> std::optional<Value> { return Value("live"); });
    auto vended = ipc::NamedConnection::vend(name, object, options);
    ASSERT_TRUE(vended);
    std::string socket = ipc::socketPath(ipc::ServiceKind::Connection, name);

    const uid_t nobody = 65534;
    EXPECT_EQ(callAs(std::nullopt, name), 0) << "root is served";
    EXPECT_EQ(callAs(nobody, name), 3) << "the 0600 socket keeps other users out";
    // Even with the file mode widened, the peer's credentials are checked.
    ASSERT_EQ(::chmod(socket.c_str(), 0666), 0);
    EXPECT_EQ(callAs(nobody, name), 3);

    // The same check on an open connection lets that user in: the refusals above are the check's.
    std::string open = uniqueName("open");
    auto openVended = ipc::NamedConnection::vend(open, object);
    ASSERT_TRUE(openVended);
    EXPECT_EQ(callAs(nobody, open), 0);
}

}  // namespace
