// Where local services live and how their sockets are opened: one Unix-domain stream socket per
// service name in the runtime folder, guarded by a lock file so that one live process holds a name.
//
// Root's services live in the runtime folder itself (root's, 0755). Each user's services live in
// <runtime>/user/<uid>, a folder owned by that user with mode 0700, so a user can neither register
// nor shadow a root name, nor reach another user's services. The parent <runtime>/user is root's
// with mode 01733: any user may create a folder there but not list, rename or remove the others'
// (sticky). A folder is used only when it is a real folder owned by the user its name gives; one
// made by somebody else under a user's number is moved aside when root prepares that user's folder.
#pragma once

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "Framing.h"

namespace ipc {

// The three faces keep separate name spaces, so a port and a connection may share a name.
enum class ServiceKind { MessagePort, Connection, Xpc };

// Whose services a name belongs to: root's (the default), or one user's.
struct Scope {
    std::optional<uid_t> user;  // empty: root's
    static Scope root() { return {}; }
    static Scope ofUser(uid_t uid) { return Scope{uid}; }
    bool isRoot() const { return !user.has_value(); }
    bool operator==(const Scope&) const = default;
};

// The scope of the user signed in at the console; nothing when nobody is.
std::optional<Scope> consoleUserScope();

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

// The socket's full path in the scope's folder; empty when the name is empty.
std::string socketPath(ServiceKind kind, std::string_view name, const Scope& scope = {});

// The listening socket a supervisor handed this process for the service, as socket activation
// does: fds from 3 on, LISTEN_PID = this process, LISTEN_FDS = their count, LISTEN_FDNAMES = their
// socket file names (socketFileName) joined with ':'. Each is handed out once, close-on-exec and
// non-blocking; nothing when none was handed over under that name.
std::optional<int> takeInheritedListener(ServiceKind kind, std::string_view name);

enum class EndpointError { None, InvalidName, NameHeld, SystemError };

// A registered service name: the listening socket and the lock that holds the name.
// Root-only services get a 0600 socket file, the others 0666 (their peers may be users); a user's
// services are kept from others by the user's 0700 folder. Lock files are 0600: only a server
// may take them.
class ListeningEndpoint {
  public:
    // Registers the name. A listener inherited for it (takeInheritedListener) is adopted first:
    // the supervisor that handed it over owns the name, so an adopted endpoint takes no lock and
    // never removes the socket file. Otherwise a socket file left by a process that died is
    // reclaimed, and a name that a live process holds gives NameHeld.
    static std::unique_ptr<ListeningEndpoint> open(ServiceKind kind, std::string_view name, bool rootOnly,
                                                   EndpointError* error = nullptr);
    // The same in a given scope. A user's scope is open to that user and to root.
    static std::unique_ptr<ListeningEndpoint> open(ServiceKind kind, std::string_view name, bool rootOnly,
                                                   const Scope& scope, EndpointError* error = nullptr);
    ~ListeningEndpoint();
    ListeningEndpoint(const ListeningEndpoint&) = delete;
    ListeningEndpoint& operator=(const ListeningEndpoint&) = delete;

    // The listening socket (non-blocking).
    int fd() const { return listenFd_.get(); }
    const std::string& path() const { return path_; }
    bool rootOnly() const { return rootOnly_; }
    // True when the listener was inherited rather than made here.
    bool adopted() const { return adopted_; }

    // Removes the socket file and gives the name up at once, from any thread, so that new
    // clients find no such name and another server may register it. The listening socket stays
    // open until destruction, for clients already queued on it. An adopted endpoint keeps the
    // name where it is: its owner just stops accepting.
    void releaseName();

    // Gives the name up and closes the listening socket, so clients still queued on it learn
    // that the service went away.
    void close();

  private:
    ListeningEndpoint() = default;
    std::mutex mutex_;
    std::string path_;
    bool rootOnly_ = false;
    bool adopted_ = false;
    bool released_ = true;  // until the name is held
    UniqueFd folderFd_;     // the scope's folder: the socket and lock file go through it
    std::string file_;      // the socket file's name in that folder
    UniqueFd lockFd_;
    UniqueFd listenFd_;
};

enum class ConnectError { None, InvalidName, NoSuchName, TimedOut, SystemError };

// Connects to a service, waiting for a full backlog no later than the deadline. NoSuchName: no
// socket file, nobody listening on it, or no permission to use it. In a user's scope the folder
// must be that user's and the service must run as that user, or be held for it by root's
// supervisor in a socket file of the user's (not a link). The socket keeps the time left for
// connecting as its SO_SNDTIMEO; this layer itself only sends without blocking.
UniqueFd connectToService(ServiceKind kind, std::string_view name, Deadline deadline,
                          ConnectError* error = nullptr, const Scope& scope = {});

// Creates the runtime folder (0755) and its missing parents.
bool ensureRuntimeFolder();

// Opens the folder of a user's services (O_DIRECTORY), creating it when it is missing: by root
// (owned by the user) or by that user itself. Invalid when it cannot be made sound.
UniqueFd openUserRuntimeFolder(uid_t uid, bool create);

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
