// The one way product code starts a child process: an argument vector (no shell), a chosen
// environment and working folder, its own process group or session, optionally another user,
// standard streams from /dev/null, the caller, a file or a pipe, and descriptors handed over at
// fixed numbers. run() adds data on standard input, capped output streams drained while waiting,
// and a deadline that ends the child's process group with SIGTERM, then SIGKILL after a grace.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace spawn {

// An owned file descriptor.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& o) noexcept : fd_(o.release()) {}
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1);

  private:
    int fd_ = -1;
};

// Where a standard stream of the child goes.
struct Stream {
    enum class Kind { Null, Inherit, Pipe, File };
    Kind kind = Kind::Null;
    int fd = -1;  // File: the caller's descriptor, duplicated into the child

    static Stream null() { return {}; }
    static Stream inherit() { return {Kind::Inherit, -1}; }
    static Stream pipe() { return {Kind::Pipe, -1}; }
    static Stream file(int fd) { return {Kind::File, fd}; }
};

// A descriptor of the caller that the child gets at childFd (3 or above).
struct PassedFd {
    int fd = -1;
    int childFd = -1;
};

struct User {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;  // supplementary groups; empty: none
};

enum class Grouping {
    Inherit,     // the caller's process group
    OwnGroup,    // a process group of its own, so a deadline can end all it started
    OwnSession,  // a session (and group) of its own, detached from any terminal
};

struct Options {
    // Path of the program; a name without '/' is looked up on the PATH of the child's environment.
    std::string program;
    // The argument vector, argv[0] included; empty: the program alone.
    std::vector<std::string> argv;
    // NAME=value entries; nothing: the caller's environment.
    std::optional<std::vector<std::string>> environment;
    std::string workingDirectory;  // empty: the caller's
    Grouping grouping = Grouping::OwnGroup;
    std::optional<User> user;
    Stream input = Stream::null();
    Stream output = Stream::null();
    Stream error = Stream::null();
    std::vector<PassedFd> passFds;
    // Sets LISTEN_PID to the child's own pid in its environment (known only after the fork).
    bool setListenPid = false;
    // Called in the caller with the child's pid while the child waits just before exec, so the
    // caller can record the child before its program runs. The child exits (status 127) without
    // running the program if the caller dies meanwhile.
    std::function<void(pid_t)> beforeExec;
};

// A started child: its pid, a pidfd (readable once it has exited; may be invalid on kernels
// without one) and the caller's ends of the Pipe streams. The caller reaps it.
struct Child {
    pid_t pid = -1;
    Fd pidfd;
    Fd input;   // write end, when input is Pipe
    Fd output;  // read end, when output is Pipe
    Fd error;   // read end, when error is Pipe
};

// Starts the child. Nothing, with an errno value in *error, when it could not be started (the
// program missing or not executable, the user or folder not usable, no resources).
std::optional<Child> start(const Options& options, int* error = nullptr);

struct RunLimits {
    // Written to the child's standard input, which is then closed (secrets go here, never argv).
    // Empty: the options' input stream is used as it is.
    std::string input;
    // Each captured stream keeps at most this much; the rest is read and dropped.
    size_t maxStreamBytes = 16u << 20;
    // From the start: then SIGTERM to the process group, SIGKILL after killGrace.
    std::chrono::milliseconds deadline{600'000};
    std::chrono::milliseconds killGrace{2'000};
    // False: the run returns once both streams have closed; a child still running shortly after
    // is reaped in the background, its group still ended at the deadline.
    bool waitForExit = true;
    // Called with the pid once the child runs, before its streams are drained.
    std::function<void(pid_t)> started;
};

struct RunResult {
    int spawnError = 0;  // errno when the child could not be started; then nothing else is set
    pid_t pid = -1;
    std::string output;
    std::string error;
    bool outputTruncated = false;
    bool errorTruncated = false;
    bool timedOut = false;
    bool readFailed = false;
    // The wait status when the run reaped the child; nothing when it went to the background.
    std::optional<int> waitStatus;

    bool started() const { return pid > 0; }
};

// Runs a child to its end with its output and error streams captured (overriding those in
// options) and the limits applied.
RunResult run(Options options, const RunLimits& limits);

// Hands a child (and its pidfd, which the reaper closes) to a background thread that reaps it.
// With a deadline its process group gets SIGTERM then, and SIGKILL after the grace.
void reapInBackground(pid_t pid, Fd pidfd,
                      std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt,
                      std::chrono::milliseconds killGrace = std::chrono::milliseconds(2'000));

// Status as a number: the exit status, or minus the terminating signal.
int exitStatusFromWait(int waitStatus);

}  // namespace spawn
