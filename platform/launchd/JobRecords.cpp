#include "JobRecords.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>

#include "platform/core/LineText.h"
#include "platform/process/ProcStat.h"

namespace launchd {

namespace {

constexpr size_t kMaxFileBytes = 1u << 20;

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The processes left of a recorded job: the job process while it is the recorded one, and the
// members of its group and session. A group or session id stays reserved while any member lives,
// so members found under it are the job's, unless the pid now belongs to a new leader.
std::vector<pid_t> leftovers(const JobRecord& record) {
    std::vector<pid_t> out;
    std::optional<proclist::ProcStat> head = proclist::readProcStat(record.pid);
    bool same = head && head->startTime == record.startTime;
    if (head && !same && (head->group == record.pid || head->session == record.pid)) return out;
    if (same && head->state != 'Z') out.push_back(record.pid);
    for (pid_t member : proclist::membersOfGroupOrSession(record.pid)) {
        if (member != record.pid) out.push_back(member);
    }
    return out;
}

}  // namespace

bool writeJobRecords(const std::string& path, const std::vector<JobRecord>& records) {
    std::string text;
    for (const JobRecord& r : records) {
        // A label that is not one line would make lines of its own, naming processes to end.
        if (!linetext::lineSafe(r.label)) continue;
        text += std::to_string(r.pid) + " " + std::to_string(r.startTime) + " " + r.label + "\n";
    }
    std::string temporary = path + ".new";
    ::unlink(temporary.c_str());
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    bool ok = writeAll(fd, text) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok) ok = ::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(temporary.c_str());
    return ok;
}

std::vector<JobRecord> readJobRecords(const std::string& path) {
    std::vector<JobRecord> out;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return out;
    // Only a record this user wrote may name processes to end.
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & (S_IWGRP | S_IWOTH))) {
        ::close(fd);
        return out;
    }
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0 && text.size() < kMaxFileBytes;) {
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        JobRecord r;
        long long pid = 0;
        if (!(fields >> pid >> r.startTime) || pid <= 1 || pid > 0x3fffffff) continue;
        fields.get();
        std::getline(fields, r.label);
        r.pid = static_cast<pid_t>(pid);
        if (!r.label.empty()) out.push_back(std::move(r));
    }
    return out;
}

JobRecord recordOf(pid_t pid, const std::string& label) {
    JobRecord r;
    if (std::optional<proclist::ProcStat> st = proclist::readProcStat(pid)) {
        r.pid = pid;
        r.startTime = st->startTime;
        r.label = label;
    }
    return r;
}

std::vector<JobRecord> endLeftoverJobs(const std::vector<JobRecord>& records, double graceSeconds) {
    std::vector<JobRecord> ended;
    auto signalAll = [&](int sig) {
        bool any = false;
        for (const JobRecord& r : records) {
            for (pid_t pid : leftovers(r)) {
                ::kill(pid, sig);
                any = true;
            }
        }
        return any;
    };
    for (const JobRecord& r : records) {
        if (!leftovers(r).empty()) ended.push_back(r);
    }
    if (ended.empty()) return ended;
    auto waitUntilGone = [&](double seconds) {
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        for (;;) {
            bool any = false;
            for (const JobRecord& r : records) any = any || !leftovers(r).empty();
            if (!any) return true;
            if (std::chrono::steady_clock::now() >= end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    };
    signalAll(SIGTERM);
    if (!waitUntilGone(graceSeconds)) {
        signalAll(SIGKILL);
        waitUntilGone(2.0);
    }
    return ended;
}

}  // namespace launchd
