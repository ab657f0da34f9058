// Listening sockets handed over by a supervisor (launch on demand), and services of one user in
// that user's own folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "PeerProcess.h"
#include "messaging/Tessel.h"
#include "platform/ipc/tests/TestRoot.h"
#include "platform/ipc/Endpoint.h"
#include "platform/ipc/MessagePort.h"
#include "platform/ipc/XpcConnection.h"
#include "platform/paths/Paths.h"

using tessel::TesselClient;
using tessel::TesselNoSuchPort;
using tessel::TesselReplyReceived;

namespace {

using ipc::ServiceKind;
using ipctest::Handover;
using ipctest::PeerProcess;
using ipctest::uniqueName;

constexpr uid_t kNobody = 65534;

std::optional<int64_t> addOver(const std::string& name) {
    ipc::XpcOptions options;
    options.sendTimeout = 5;
    auto c = ipc::XpcConnection::create(name, options);
    c->resume();
    auto answer = c->sendSync({{"op", "add"}, {"a", 2}, {"b", 3}}, 5);
    c->invalidate();
    if (!answer || !answer->count("sum")) return std::nullopt;
    return answer->at("sum").integer();
}

// The fd flags of fd 3 in another process, from /proc.
std::string fdFlags(pid_t pid, int fd) {
    std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(fd));
    std::string key, value;
    while (info >> key >> value) {
        if (key == "flags:") return value;
    }
    return {};
}

// The supervisor's side: it holds the name, the job serves on the socket it is handed, and the
// name outlives each run of the job, so the job can be launched again on the next demand.
TEST(ipc_Handover, JobServesOnTheSupervisorsSocketAndTheNameOutlivesIt) {
    std::string name = uniqueName("com.velmora.ondemand");
    ipc::EndpointError error;
    auto held = ipc::ListeningEndpoint::open(ServiceKind::Xpc, name, false, &error);
    ASSERT_TRUE(held);
    std::string socket = ipc::socketPath(ServiceKind::Xpc, name);
    Handover handover{{held->fd()}, "conn.other:" + ipc::socketFileName(ServiceKind::Xpc, name)};
    // The job is handed a second socket under another name first, so the names' order counts.
    auto other = ipc::ListeningEndpoint::open(ServiceKind::Connection, uniqueName("other"), false);
    ASSERT_TRUE(other);
    handover.fds.insert(handover.fds.begin(), other->fd());

    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        PeerProcess job({"xpc-listen", name}, std::nullopt, &handover);
        ASSERT_TRUE(job.expectLine("listening 1"));
        EXPECT_EQ(addOver(name), 5);
        EXPECT_TRUE(job.expectLine("accepted"));
        std::string flags = fdFlags(job.pid(), 4);
        ASSERT_FALSE(flags.empty());
        EXPECT_TRUE(std::stoul(flags, nullptr, 8) & O_CLOEXEC)
            << "the adopted listener is close-on-exec: " << flags;
        EXPECT_TRUE(std::stoul(fdFlags(job.pid(), 3), nullptr, 8) & O_CLOEXEC)
            << "so is the one left untaken";

        job.closeStdin();  // the job exits: its listener must not take the name with it
        ASSERT_TRUE(job.wait(10));
        struct stat st {};
        EXPECT_EQ(::stat(socket.c_str(), &st), 0);
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
        EXPECT_FALSE(ipc::ListeningEndpoint::open(ServiceKind::Xpc, name, false, &error));
        EXPECT_EQ(error, ipc::EndpointError::NameHeld) << "the supervisor still holds the name";
    }
}

TEST(ipc_Handover, SocketsMeantForAnotherProcessAreNotTaken) {
    std::string name = uniqueName("com.velmora.notmine");
    auto held = ipc::ListeningEndpoint::open(ServiceKind::Xpc, name, false);
    ASSERT_TRUE(held);
    Handover handover{{held->fd()}, ipc::socketFileName(ServiceKind::Xpc, name), true};
    PeerProcess job({"xpc-listen", name}, std::nullopt, &handover);
    EXPECT_TRUE(job.expectLine("listening 0")) << "with LISTEN_PID of another process the name is just held";
}

class UserScope : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to run peers as another user";
        ASSERT_TRUE(ipc::ensureRuntimeFolder());
    }
};

TEST_F(UserScope, UsersPortIsReachedInThatUsersScopeOnly) {
    std::string name = uniqueName("RavAvizaUIIPCListeningKey");
    PeerProcess app({"tessel-serve-user", name, "blob"}, kNobody);
    ASSERT_TRUE(app.expectLine("listening 1")) << "the user makes its own folder and serves there";

    struct stat st {};
    ASSERT_EQ(::lstat(paths::userRuntimeFolder(kNobody).c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_uid, kNobody);
    EXPECT_EQ(st.st_mode & 07777, 0700u);

    TesselClient client;
    client.setSendTimeout(5);
    client.setReceiveTimeout(5);
    uint64_t code = 0;
    client.setUserScope(kNobody);
    EXPECT_EQ(client.sendMessageWithName(name, {'x'}, 1, &code), (std::vector<uint8_t>{'A', 'B', 'C', 'D'}));
    EXPECT_EQ(code, uint64_t(TesselReplyReceived));
    client.setUserScope(std::nullopt);
    EXPECT_FALSE(client.sendMessageWithName(name, {'x'}, 1, &code));
    EXPECT_EQ(code, uint64_t(TesselNoSuchPort)) << "root's names are another name space";
}

// Callers find the signed-in user's services through the console user.
TEST_F(UserScope, ConsoleUsersScopeComesFromTheSeat) {
    std::string root = testsupport::TempRootEnvironment::path();
    std::filesystem::remove(root + "/run/systemd/seats/seat0");
    EXPECT_FALSE(ipc::consoleUserScope()) << "nobody at the console";

    testsupport::signInAtScreen(root, "nobody", "user", "c7");
    std::optional<ipc::Scope> scope = ipc::consoleUserScope();
    ASSERT_TRUE(scope);
    EXPECT_EQ(scope->user, std::optional<uid_t>(kNobody));

    std::string name = uniqueName("RavAvizaUIIPCListeningKey");
    PeerProcess app({"tessel-serve-user", name, "blob"}, kNobody);
    ASSERT_TRUE(app.expectLine("listening 1"));
    EXPECT_EQ(ipc::sendMessage(name, 1, {}, 5, 5, 1024, *scope).status, ipc::MessageStatus::Success);
    std::filesystem::remove(root + "/run/systemd/seats/seat0");
}

TEST_F(UserScope, UserCanNeitherRegisterARootNameNorMakeAnotherUsersFolder) {
    std::string name = uniqueName("HollinIPCListenKey");
    PeerProcess impostor({"tessel-serve", name, "blob"}, kNobody);
    EXPECT_TRUE(impostor.expectLine("listening 0"));
    EXPECT_FALSE(ipc::canOpenPort(name));

    PeerProcess other({"mkdir-user", "4200"}, kNobody);
    EXPECT_TRUE(other.expectLine("made 0"));
    struct stat st {};
    EXPECT_NE(::lstat(paths::userRuntimeFolder(4200).c_str(), &st), 0);
}

// Something under a user's number that is not that user's own folder is never used; root moves it
// aside and makes the real one.
TEST_F(UserScope, SquattedOrLinkedUserFolderIsMovedAsideByRoot) {
    std::string parent = paths::userRuntimeParent();
    struct Case {
        uid_t uid;
        bool symlink;
    };
    for (Case c : {Case{4300, false}, Case{4301, true}}) {
        SCOPED_TRACE(c.uid);
        std::string folder = paths::userRuntimeFolder(c.uid);
        if (c.symlink) {
            ASSERT_EQ(::symlink(paths::runtimeFolder().c_str(), folder.c_str()), 0);
        } else {
            ASSERT_EQ(::mkdir(folder.c_str(), 0777), 0);
            ASSERT_EQ(::chown(folder.c_str(), kNobody, kNobody), 0);  // another user's folder
        }
        EXPECT_FALSE(ipc::openUserRuntimeFolder(c.uid, false).valid());
        EXPECT_FALSE(ipc::sendMessage("x", 1, {}, 1, 1, 1024, ipc::Scope::ofUser(c.uid)).data);

        ipc::UniqueFd made = ipc::openUserRuntimeFolder(c.uid, true);
        ASSERT_TRUE(made.valid());
        struct stat st {};
        ASSERT_EQ(::lstat(folder.c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_uid, c.uid);
        EXPECT_EQ(st.st_mode & 07777, 0700u);
    }
    struct stat st {};
    ASSERT_EQ(::stat(parent.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 01733u);
    EXPECT_EQ(st.st_uid, 0u);
}

// A socket file in a user's folder that leads to a service of somebody else is not that user's
// service, even when it leads to root's own.
TEST_F(UserScope, LinkInAUsersFolderDoesNotPassForItsService) {
    std::string name = uniqueName("linked");
    auto port = ipc::LocalMessagePort::create(name, [](ipc::LocalMessagePort&, int32_t, const ipc::Bytes&) {
        return std::optional<ipc::Bytes>(ipc::Bytes{'r'});
    });
    ASSERT_TRUE(port);
    std::thread serve([port] { port->run(); });
    ipc::Scope user = ipc::Scope::ofUser(kNobody);
    ASSERT_TRUE(ipc::openUserRuntimeFolder(kNobody, true).valid());
    std::string link = ipc::socketPath(ServiceKind::MessagePort, name, user);
    ::unlink(link.c_str());
    ASSERT_EQ(::symlink(ipc::socketPath(ServiceKind::MessagePort, name).c_str(), link.c_str()), 0);

    EXPECT_EQ(ipc::sendMessage(name, 1, {}, 2, 2, 1024, user).status, ipc::MessageStatus::NoSuchPort);
    EXPECT_EQ(ipc::sendMessage(name, 1, {}, 2, 2).status, ipc::MessageStatus::Success);
    ::unlink(link.c_str());
    port->invalidate();
    serve.join();
}

}  // namespace
