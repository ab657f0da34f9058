// Where local services live and how their sockets are opened: one Unix-domain stream socket per
// service name in the runtime folder, guarded by a lock file so that one live process holds a name.
#pragma once

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "ipc/Framing.h"

namespace ipc {

// The three faces keep separate name spaces, so a port and a connection may share a name.
enum class ServiceKind { MessagePort, Connection, Xpc };

// An owned file descriptor.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release();
    void reset(int fd = -1);

  private:
    int fd_ = -1;
};

struct PeerCredentials {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
};

// The credentials the peer of a connected socket had when it connected.
std::optional<PeerCredentials> peerCredentials(int fd);

// The socket file name of a service: "<kind>.<name>" with bytes outside [A-Za-z0-9._-] written
// as %XX. Message-port names fold to lower case, because their names compare ignoring case.
// Empty when the name is empty.
std::string socketFileName(ServiceKind kind, std::string_view name);

// The socket's full path in paths::runtimeFolder(); empty when the name is empty.
std::string socketPath(ServiceKind kind, std::string_view name);

enum class EndpointError { None, InvalidName, NameHeld, SystemError };

// A registered service name: the listening socket and the lock that holds the name.
// Root-only services get a 0600 socket file, the others 0666 (their peers may be users).
class ListeningEndpoint {
  public:
    // Registers the name. A socket file left by a process that died is reclaimed; a name that a
    // live process holds gives NameHeld.
    static std::unique_ptr<ListeningEndpoint> open(ServiceKind kind, std::string_view name, bool rootOnly,
                                                   EndpointError* error = nullptr);
    ~ListeningEndpoint();
    ListeningEndpoint(const ListeningEndpoint&) = delete;
    ListeningEndpoint& operator=(const ListeningEndpoint&) = delete;

    // The listening socket (non-blocking).
    int fd() const { return listenFd_.get(); }
    const std::string& path() const { return path_; }
    bool rootOnly() const { return rootOnly_; }

    // Removes the socket file and gives the name up at once, from any thread, so that new
    // clients find no such name and another server may register it. The listening socket stays
    // open until destruction, for clients already queued on it.
    void releaseName();

    // Gives the name up and closes the listening socket, so clients still queued on it learn
    // that the service went away.
    void close();

  private:
    ListeningEndpoint() = default;
    std::mutex mutex_;
    std::string path_;
    bool rootOnly_ = false;
    bool released_ = true;  // until the name is held
    UniqueFd lockFd_;
    UniqueFd listenFd_;
};

enum class ConnectError { None, InvalidName, NoSuchName, TimedOut, SystemError };

// Connects to a service, waiting for a full backlog no later than the deadline. NoSuchName: no
// socket file, nobody listening on it, or no permission to use it.
UniqueFd connectToService(ServiceKind kind, std::string_view name, Deadline deadline,
                          ConnectError* error = nullptr);

// Creates the runtime folder (0755) and its missing parents.
bool ensureRuntimeFolder();

// A non-blocking event file descriptor for waking a poll loop from another thread.
class Waker {
  public:
    Waker();
    int fd() const { return fd_.get(); }
    bool valid() const { return fd_.valid(); }
    void wake();

  private:
    UniqueFd fd_;
};

}  // namespace ipc
