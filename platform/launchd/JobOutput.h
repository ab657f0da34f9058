// Where a job's standard output and error go. A job file that names StandardOutPath or
// StandardErrorPath gets that file, opened as the job's user; otherwise the supervisor relays the
// job's lines to its own standard error (the journal, on a real machine), each prefixed with the
// job's label.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace launchd {

// Who opens a job's output file: the job's user, or root for a job that names none.
struct OutputOwner {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
};

// Opens path for appending (created 0640 for a root job, 0600 for a user's), refusing a link as
// the file itself or on the way through a folder that anyone but root can change; a user's file
// is opened by a process running as that user, so it reaches only what that user may write. -1
// with errno when it cannot be opened.
int openJobOutput(const std::string& path, const std::optional<OutputOwner>& owner);

// The pipes from running jobs to the supervisor's standard error. Lines are cut at kMaxLine
// bytes and each read takes at most kMaxRead bytes, so a job that writes without end neither
// grows the supervisor nor keeps it from its other work.
class OutputRelay {
  public:
    static constexpr size_t kMaxLine = 4096;
    static constexpr size_t kMaxRead = 64 * 1024;

    explicit OutputRelay(int sink) : sink_(sink) {}
    ~OutputRelay();
    OutputRelay(const OutputRelay&) = delete;
    OutputRelay& operator=(const OutputRelay&) = delete;

    // A new pipe for the job labelled label: the write end for the child (the caller closes it
    // once the child has it), or -1 when no pipe could be made.
    int open(const std::string& label);
    // The read ends to watch.
    std::vector<int> fds() const;
    // Relays what the pipe holds; at its end, the rest of an unended line, and the pipe is closed.
    void read(int fd);

  private:
    struct Pipe {
        std::string label;
        std::string pending;  // an unended line
    };
    void writeLine(const std::string& label, const char* data, size_t size);

    int sink_;
    std::map<int, Pipe> pipes_;
};

}  // namespace launchd
