#include "JobOutput.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

namespace launchd {

namespace {

// A folder only root can change: a link found in it is root's own choice and may be followed.
bool rootsAlone(int dirFd) {
    struct stat st {};
    return ::fstat(dirFd, &st) == 0 && st.st_uid == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Walks path from "/" one name at a time. In a folder someone other than root can change, a
// link is refused (O_NOFOLLOW), so no user can turn the open towards another file.
int openWalking(const std::string& path, mode_t mode) {
    if (path.empty() || path.front() != '/') {
        errno = EINVAL;
        return -1;
    }
    int dir = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    size_t at = 1;
    while (dir >= 0) {
        while (at < path.size() && path[at] == '/') ++at;
        const size_t end = path.find('/', at);
        const std::string name = path.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (name.empty() || name == "..") {
            ::close(dir);
            errno = EINVAL;
            return -1;
        }
        const int follow = rootsAlone(dir) ? 0 : O_NOFOLLOW;
        int next;
        if (end == std::string::npos) {
            // The file itself is never a link.
            next = ::openat(dir, name.c_str(),
                            O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, mode);
            if (next >= 0) {
                struct stat st {};
                if (::fstat(next, &st) != 0 || !S_ISREG(st.st_mode)) {
                    ::close(next);
                    next = -1;
                    errno = EINVAL;
                }
            }
            const int saved = errno;
            ::close(dir);
            errno = saved;
            return next;
        }
        next = ::openat(dir, name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC | follow);
        const int saved = errno;
        ::close(dir);
        errno = saved;
        dir = next;
        at = end + 1;
    }
    return -1;
}

// Opens the file in a child that runs as the owner and hands the descriptor back over a socket.
int openAsUser(const std::string& path, const OutputOwner& owner) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int saved = errno;
        ::close(sv[0]);
        ::close(sv[1]);
        errno = saved;
        return -1;
    }
    if (pid == 0) {
        ::close(sv[0]);
        int result = -1;
        int err = EPERM;
        if (::setgroups(owner.groups.size(), owner.groups.data()) == 0 &&
            ::setresgid(owner.gid, owner.gid, owner.gid) == 0 &&
            ::setresuid(owner.uid, owner.uid, owner.uid) == 0) {
            result = openWalking(path, 0600);
            err = result < 0 ? errno : 0;
        }
        msghdr msg{};
        iovec iov{&err, sizeof err};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        if (result >= 0) {
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            cmsghdr* c = CMSG_FIRSTHDR(&msg);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(c), &result, sizeof(int));
        }
        (void)::sendmsg(sv[1], &msg, MSG_NOSIGNAL);
        ::_exit(0);
    }
    ::close(sv[1]);
    int err = EIO;
    int fd = -1;
    msghdr msg{};
    iovec iov{&err, sizeof err};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = ::recvmsg(sv[0], &msg, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(sizeof err)) {
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS)
                std::memcpy(&fd, CMSG_DATA(c), sizeof(int));
        }
    }
    ::close(sv[0]);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (fd < 0) errno = err ? err : EIO;
    return fd;
}

void writeAll(int fd, const std::string& text) {
    for (size_t done = 0; done < text.size();) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

}  // namespace

int openJobOutput(const std::string& path, const std::optional<OutputOwner>& owner) {
    if (owner && owner->uid != 0) return openAsUser(path, *owner);
    return openWalking(path, 0640);
}

OutputRelay::~OutputRelay() {
    for (auto& [fd, pipe] : pipes_) ::close(fd);
}

int OutputRelay::open(const std::string& label) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return -1;
    ::fcntl(ends[0], F_SETFL, ::fcntl(ends[0], F_GETFL) | O_NONBLOCK);
    pipes_[ends[0]] = Pipe{label, {}};
    return ends[1];
}

std::vector<int> OutputRelay::fds() const {
    std::vector<int> out;
    for (const auto& [fd, pipe] : pipes_) out.push_back(fd);
    return out;
}

void OutputRelay::writeLine(const std::string& label, const char* data, size_t size) {
    std::string line;
    line.reserve(label.size() + size + 3);
    line.append(label).append(": ").append(data, size).push_back('\n');
    writeAll(sink_, line);
}

void OutputRelay::read(int fd) {
    auto it = pipes_.find(fd);
    if (it == pipes_.end()) return;
    Pipe& pipe = it->second;
    char buf[8192];
    size_t taken = 0;
    bool ended = false;
    while (taken < kMaxRead) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (n <= 0) {
            ended = true;
            break;
        }
        taken += static_cast<size_t>(n);
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] == '\n') {
                writeLine(pipe.label, pipe.pending.data(), pipe.pending.size());
                pipe.pending.clear();
            } else {
                pipe.pending.push_back(buf[i]);
                if (pipe.pending.size() == kMaxLine) {
                    writeLine(pipe.label, pipe.pending.data(), pipe.pending.size());
                    pipe.pending.clear();
                }
            }
        }
    }
    if (!ended) return;
    if (!pipe.pending.empty()) writeLine(pipe.label, pipe.pending.data(), pipe.pending.size());
    ::close(fd);
    pipes_.erase(it);
}

}  // namespace launchd
