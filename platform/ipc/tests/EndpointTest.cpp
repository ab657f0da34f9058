#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "TestRoot.h"
#include "platform/ipc/Endpoint.h"
#include "platform/paths/Paths.h"

namespace ipc {
namespace {

using ipctest::uniqueName;

TEST(platform_ipc_EndpointNames, SocketFileNamesKeepFacesApartAndFoldOnlyPortNames) {
    struct Case {
        ServiceKind kind;
        std::string name;
        std::string file;
    };
    const Case cases[] = {
        {ServiceKind::MessagePort, "HollinIPCListenKey", "port.hollinipclistenkey"},
        {ServiceKind::MessagePort, "ZEMClient_Sqlite_ZEMBiz", "port.zemclient_sqlite_zembiz"},
        {ServiceKind::Connection, "RavAviza_zem_bus_connection", "conn.RavAviza_zem_bus_connection"},
        {ServiceKind::Xpc, "com.velmora.Sorrel", "xpc.com.velmora.Sorrel"},
        {ServiceKind::Connection, "../a/b c", "conn...%2Fa%2Fb%20c"},
        {ServiceKind::Connection, std::string("a\0b", 3), "conn.a%00b"},
        {ServiceKind::MessagePort, "", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(socketFileName(c.kind, c.name), c.file) << c.name;
    }
    EXPECT_EQ(socketPath(ServiceKind::Xpc, "x"), paths::runtimeFolder() + "/xpc.x");
}

TEST(platform_ipc_ListeningEndpoint, HeldNameIsRefusedUntilReleased) {
    std::string name = uniqueName("held");
    EndpointError error;
    auto first = ListeningEndpoint::open(ServiceKind::Connection, name, false, &error);
    ASSERT_TRUE(first);
    EXPECT_EQ(ListeningEndpoint::open(ServiceKind::Connection, name, false, &error), nullptr);
    EXPECT_EQ(error, EndpointError::NameHeld);
    // The same name in another face is a different service.
    EXPECT_TRUE(ListeningEndpoint::open(ServiceKind::Xpc, name, false));

    first->releaseName();
    EXPECT_FALSE(std::filesystem::exists(first->path()));
    EXPECT_TRUE(ListeningEndpoint::open(ServiceKind::Connection, name, false, &error));
}

TEST(platform_ipc_ListeningEndpoint, StaleSocketFileIsReclaimed) {
    std::string name = uniqueName("stale");
    ASSERT_TRUE(ensureRuntimeFolder());
    std::string path = socketPath(ServiceKind::MessagePort, name);
    // What a killed server leaves: a socket file nobody listens on, and an unlocked lock file.
    {
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, path.c_str());
        ASSERT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        UniqueFd lock(::open((path + ".lock").c_str(), O_CREAT | O_RDWR, 0644));
    }
    ConnectError cerr;
    EXPECT_FALSE(connectToService(ServiceKind::MessagePort, name, deadlineAfter(1), &cerr).valid());
    EXPECT_EQ(cerr, ConnectError::NoSuchName);

    auto ep = ListeningEndpoint::open(ServiceKind::MessagePort, name, false);
    ASSERT_TRUE(ep);
    EXPECT_TRUE(connectToService(ServiceKind::MessagePort, name, deadlineAfter(1), &cerr).valid());
}

TEST(platform_ipc_ListeningEndpoint, SocketModesFollowRootOnly) {
    auto open = ListeningEndpoint::open(ServiceKind::Xpc, uniqueName("open"), false);
    auto priv = ListeningEndpoint::open(ServiceKind::Xpc, uniqueName("priv"), true);
    ASSERT_TRUE(open && priv);
    struct stat st {};
    ASSERT_EQ(::stat(open->path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    ASSERT_EQ(::stat(priv->path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(paths::runtimeFolder().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
}

TEST(platform_ipc_ListeningEndpoint, WorksUnderARootTooDeepForASocketAddress) {
    std::string saved = ::getenv("RAVAVIZA_ROOT");
    std::string deep = saved + "/" + std::string(60, 'd') + "/" + std::string(60, 'e');
    ::setenv("RAVAVIZA_ROOT", deep.c_str(), 1);
    std::string name = uniqueName("deep");
    auto ep = ListeningEndpoint::open(ServiceKind::Connection, name, false);
    bool connected = connectToService(ServiceKind::Connection, name, deadlineAfter(1)).valid();
    std::string path = ep ? ep->path() : "";
    ep.reset();
    ::setenv("RAVAVIZA_ROOT", saved.c_str(), 1);
    ASSERT_GT(path.size(), sizeof(sockaddr_un::sun_path));
    EXPECT_TRUE(connected);
}

TEST(platform_ipc_ConnectToService, UnknownAndEmptyNamesFailWithoutWaiting) {
    ConnectError error;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(
        connectToService(ServiceKind::Connection, uniqueName("nobody"), deadlineAfter(5), &error).valid());
    EXPECT_EQ(error, ConnectError::NoSuchName);
    EXPECT_FALSE(connectToService(ServiceKind::Connection, "", deadlineAfter(5), &error).valid());
    EXPECT_EQ(error, ConnectError::InvalidName);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST(platform_ipc_FrameAssembler, CollectsFramesSplitAcrossReadsAndRefusesOversizedOnes) {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    UniqueFd a(sv[0]), b(sv[1]);
    FrameAssembler assembler(8);
    std::vector<std::vector<uint8_t>> frames;
    const uint8_t whole[] = {0, 0, 0, 2, 'h', 'i'};
    ASSERT_EQ(::write(a.get(), whole, sizeof whole), ssize_t(sizeof whole));
    EXPECT_EQ(assembler.receive(b.get(), frames), FrameStatus::Ok);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], (std::vector<uint8_t>{'h', 'i'}));
    EXPECT_FALSE(assembler.hasPartialFrame());
    frames.clear();

    const uint8_t part1[] = {0, 0, 0, 3, 'a'};
    const uint8_t part2[] = {'b', 'c', 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(::write(a.get(), part1, sizeof part1), ssize_t(sizeof part1));
    EXPECT_EQ(assembler.receive(b.get(), frames), FrameStatus::Ok);
    EXPECT_TRUE(frames.empty());
    EXPECT_TRUE(assembler.hasPartialFrame());
    ASSERT_EQ(::write(a.get(), part2, sizeof part2), ssize_t(sizeof part2));
    EXPECT_EQ(assembler.receive(b.get(), frames), FrameStatus::Ok);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], (std::vector<uint8_t>{'a', 'b', 'c'}));
    EXPECT_TRUE(frames[1].empty());
    EXPECT_TRUE(assembler.hasPartialFrame());  // two bytes of the next header

    const uint8_t rest[] = {0, 9};
    ASSERT_EQ(::write(a.get(), rest, sizeof rest), ssize_t(sizeof rest));
    EXPECT_EQ(assembler.receive(b.get(), frames), FrameStatus::TooLarge);

    FrameAssembler cut(8);
    const uint8_t half[] = {0, 0};
    ASSERT_EQ(::write(b.get(), half, sizeof half), ssize_t(sizeof half));
    b.reset();
    // The cut shows at the latest on the read after the partial header.
    FrameStatus first = cut.receive(a.get(), frames);
    EXPECT_EQ(first == FrameStatus::Error ? first : cut.receive(a.get(), frames), FrameStatus::Error);
}

}  // namespace
}  // namespace ipc
