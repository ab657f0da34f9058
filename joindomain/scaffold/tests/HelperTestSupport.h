// What the helper-pair tests share: our launchd running in the test's temporary root, a recording
// pkexec in the product's tool folder, the blesshelper tool beside it, an app bundle carrying a
// helper, and the processes started for the root.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/launchd/Client.h"
#include "platform/paths/Paths.h"
#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"

namespace helpertest {

namespace fs = std::filesystem;

// Live processes (the caller aside) whose environment names this root.
inline std::vector<pid_t> processesOfRoot(const std::string& root) {
    std::vector<pid_t> out;
    const std::string marker = "RAVAVIZA_ROOT=" + root;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
        pid_t pid = static_cast<pid_t>(std::strtol(entry.path().filename().c_str(), nullptr, 10));
        if (pid <= 0 || pid == ::getpid() || !testsupport::alive(pid)) continue;
        const std::string env = testsupport::readText(entry.path() / "environ");
        for (size_t at = 0; at < env.size();) {
            size_t end = env.find('\0', at);
            if (end == std::string::npos) end = env.size();
            if (env.compare(at, end - at, marker) == 0 && end - at == marker.size()) {
                out.push_back(pid);
                break;
            }
            at = end + 1;
        }
    }
    return out;
}

// Our launchd for the root set in RAVAVIZA_ROOT, from start() to the object's end; whatever else
// still runs for the root then goes with it.
class Launchd {
  public:
    explicit Launchd(std::string root) : root_(std::move(root)) {}
    ~Launchd() { stop(); }
    Launchd(const Launchd&) = delete;
    Launchd& operator=(const Launchd&) = delete;

    bool start(bool bootJobs = false) {
        pid_ = ::fork();
        if (pid_ == 0) {
            int log =
                ::open((root_ + "/launchd.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            ::dup2(log, 2);
            ::setenv("RAVAVIZA_LAUNCHD_THROTTLE", "0.2", 1);
            ::setenv("RAVAVIZA_LAUNCHD_EXIT_TIMEOUT", "2", 1);
            if (bootJobs) {
                ::execl(LAUNCHD_EXECUTABLE, LAUNCHD_EXECUTABLE, static_cast<char*>(nullptr));
            } else {
                ::execl(LAUNCHD_EXECUTABLE, LAUNCHD_EXECUTABLE, "--no-boot-jobs",
                        static_cast<char*>(nullptr));
            }
            _exit(127);
        }
        return pid_ > 0 && testsupport::eventually([] { return launchd::client::list().ok(); });
    }

    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            if (!testsupport::eventually([&] { return ::waitpid(pid_, nullptr, WNOHANG) == pid_; })) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, nullptr, 0);
            }
            pid_ = -1;
        }
        for (pid_t pid : processesOfRoot(root_)) ::kill(pid, SIGKILL);
    }

    std::string log() const { return testsupport::readText(root_ + "/launchd.log"); }

  private:
    std::string root_;
    pid_t pid_ = -1;
};

// A pkexec in the tool folder that appends its arguments (one line, tab-separated) to
// <root>/pkexec.log and then runs them, or exits with `status` without running anything.
inline void installFakePkexec(const std::string& root, int status = 0) {
    std::string script =
        "#!/bin/sh\n"
        "printf '%s\\t' \"$@\" >> '" +
        root +
        "/pkexec.log'\n"
        "echo >> '" +
        root + "/pkexec.log'\n";
    script += status == 0 ? "exec \"$@\"\n" : "exit " + std::to_string(status) + "\n";
    testsupport::writeFile(paths::toolFolder() + "/pkexec", script, 0755);
}

inline std::string pkexecLog(const std::string& root) {
    return testsupport::readText(root + "/pkexec.log");
}

// The blesshelper tool in the tool folder, where the apps look for it.
inline void installBlessTool(const std::string& program) {
    fs::create_directories(paths::toolFolder());
    std::error_code ec;
    fs::remove(paths::toolFolder() + "/blesshelper", ec);
    fs::create_symlink(program, paths::toolFolder() + "/blesshelper");
}

// An app bundle under the root that carries the helper program under its label.
inline std::string makeAppBundle(const std::string& name, const std::string& helperProgram,
                                 const std::string& label) {
    const std::string bundle = paths::applicationsFolder() + "/" + name + ".app";
    const std::string target = paths::bundledHelper(bundle, label);
    fs::create_directories(fs::path(target).parent_path());
    fs::copy_file(helperProgram, target, fs::copy_options::overwrite_existing);
    return bundle;
}

}  // namespace helpertest
