// The installed tree: `cmake --install` with DESTDIR lays every program where the path table
// says, and the installed programs run from there with their libraries from the install tree.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"
#include "platform/paths/Paths.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

struct RunResult {
    int status = -1;     // exit status; -1 killed by a signal, -2 past the deadline
    std::string output;  // standard output and standard error together
};

// Runs argv with the given environment (nothing inherited), collecting its output, within limit.
RunResult run(const std::vector<std::string>& argv, const std::vector<std::string>& env,
              std::chrono::milliseconds limit = 60s) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return {};
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], 1);
        ::dup2(fds[1], 2);
        ::execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    ::close(fds[1]);
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    RunResult result;
    const auto end = std::chrono::steady_clock::now() + limit;
    int status = 0;
    bool exited = false;
    while (true) {
        char buf[4096];
        ssize_t n;
        while ((n = ::read(fds[0], buf, sizeof buf)) > 0) result.output.append(buf, static_cast<size_t>(n));
        if (exited) break;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            exited = true;  // one more read for what is left in the pipe
            continue;
        }
        if (std::chrono::steady_clock::now() > end) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            ::close(fds[0]);
            result.status = -2;
            return result;
        }
        std::this_thread::sleep_for(10ms);
    }
    ::close(fds[0]);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// Variables the child may need from ours: the sanitizers' options under an instrumented build.
std::vector<std::string> baseEnvironment() {
    std::vector<std::string> env{"PATH=/usr/bin:/bin"};
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        if (const char* v = std::getenv(name)) env.push_back(std::string(name) + "=" + v);
    }
    return env;
}

// Installs the build tree once into a temporary folder shared by every case.
class InstalledTree : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        root_ = std::make_unique<testsupport::TempFolder>("rav-install", 0755);
        auto env = baseEnvironment();
        env.push_back("DESTDIR=" + root_->path());
        // The prefix is the product's own root whatever an older cache of the build tree holds.
        RunResult r = run({CMAKE_COMMAND, "--install", RAVAVIZA_TEST_BINARY_DIR, "--prefix", "/"}, env, 120s);
        installStatus_ = r.status;
        installOutput_ = new std::string(r.output);
    }
    static void TearDownTestSuite() {
        root_.reset();
        delete installOutput_;
        installOutput_ = nullptr;
    }
    void SetUp() override {
        ASSERT_EQ(installStatus_, 0) << *installOutput_;
        ::setenv("RAVAVIZA_ROOT", root_->path().c_str(), 1);
    }
    void TearDown() override { ::unsetenv("RAVAVIZA_ROOT"); }

    // The environment of an installed program: the temporary root, no library path.
    static std::vector<std::string> programEnvironment() {
        auto env = baseEnvironment();
        env.push_back("RAVAVIZA_ROOT=" + root_->path());
        return env;
    }

    static inline std::unique_ptr<testsupport::TempFolder> root_;
    static int installStatus_;
    static std::string* installOutput_;
};

int InstalledTree::installStatus_ = -1;
std::string* InstalledTree::installOutput_ = nullptr;

bool isExecutableFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IXUSR) &&
           (st.st_mode & S_IXOTH);
}

TEST_F(InstalledTree, ProgramsLieWhereThePathTableSays) {
    const std::map<std::string, std::string> programs{
        {"Hollin", paths::daemonExecutable()},
        {"launchd", paths::toolFolder() + "/launchd"},
        {"launchctl", paths::toolFolder() + "/launchctl"},
        {"Tamber", paths::reportServiceExecutable()},
        {"installer", paths::toolFolder() + "/installer"},
    };
    for (const auto& [name, path] : programs) {
        EXPECT_TRUE(path.starts_with(root_->path() + "/")) << name << ": " << path;
        EXPECT_TRUE(isExecutableFile(path)) << name << " not installed at " << path;
    }
}

TEST_F(InstalledTree, SystemdUnitStartsTheInstalledSupervisor) {
    const fs::path unit = root_->file("usr/lib/systemd/system/ravaviza-launchd.service");
    const std::string text = testsupport::readText(unit);
    ASSERT_FALSE(text.empty()) << unit;
    const size_t at = text.find("\nExecStart=");
    ASSERT_NE(at, std::string::npos);
    const size_t from = at + std::string("\nExecStart=").size();
    const std::string exec = text.substr(from, text.find_first_of(" \n", from) - from);
    // The unit names the real path; under the install root it is the installed supervisor.
    EXPECT_EQ(paths::under(exec), paths::toolFolder() + "/launchd");
    EXPECT_TRUE(isExecutableFile(paths::under(exec)));
}

TEST_F(InstalledTree, InstalledProgramsRunAndAnswerWithTheirStatus) {
    struct Case {
        std::string program;
        std::vector<std::string> args;
        int status;
        std::string output;  // text the output must contain
    };
    const std::vector<Case> cases{
        {paths::toolFolder() + "/launchctl", {}, 64, "usage: launchctl load"},
        {paths::toolFolder() + "/launchctl", {"frobnicate"}, 64, "usage: launchctl"},
        {paths::toolFolder() + "/launchd", {"--no-such-option"}, 64, "usage: launchd"},
        {paths::daemonExecutable(), {}, 0, ""},
        {paths::daemonExecutable(), {"-version"}, 1, ""},
        {paths::reportServiceExecutable(), {}, 0, ""},
        {paths::toolFolder() + "/installer", {"-pkg"}, 2, "usage: installer -pkg FILE -target /"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv{c.program};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        RunResult r = run(argv, programEnvironment());
        EXPECT_EQ(r.status, c.status) << c.program << " " << (c.args.empty() ? "" : c.args[0]) << "\n"
                                      << r.output;
        EXPECT_NE(r.output.find(c.output), std::string::npos) << r.output;
    }
    // Hollin logs under the root it was given, whatever mode it ran in.
    EXPECT_TRUE(fs::exists(paths::daemonLogsFolder())) << paths::daemonLogsFolder();
}

TEST_F(InstalledTree, InstalledLaunchctlTalksToInstalledLaunchd) {
    if (::getuid() != 0) GTEST_SKIP() << "the supervisor runs as root";
    const std::string launchd = paths::toolFolder() + "/launchd";
    pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<std::string> env = programEnvironment();
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        char noBoot[] = "--no-boot-jobs";
        char* argv[] = {const_cast<char*>(launchd.c_str()), noBoot, nullptr};
        ::execve(argv[0], argv, envp.data());
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    RunResult listed;
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < end) {
        listed = run({paths::toolFolder() + "/launchctl", "list"}, programEnvironment());
        if (listed.status == 0) break;
        std::this_thread::sleep_for(50ms);
    }
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_EQ(listed.status, 0) << listed.output;
    EXPECT_NE(listed.output.find("PID\tStatus\tLabel"), std::string::npos) << listed.output;
}

// The run path finds Calix and Tessel in the install tree, never in the build tree.
TEST_F(InstalledTree, InstalledDaemonLoadsItsLibrariesFromTheInstallTree) {
    RunResult r = run({"/usr/bin/ldd", paths::daemonExecutable()}, programEnvironment());
    ASSERT_EQ(r.status, 0) << r.output;
    const std::string frameworks = paths::uiAppBundle() + "/Contents/Frameworks/";
    bool sawCalix = false;
    size_t pos = 0;
    while (pos < r.output.size()) {
        size_t eol = r.output.find('\n', pos);
        if (eol == std::string::npos) eol = r.output.size();
        const std::string line = r.output.substr(pos, eol - pos);
        pos = eol + 1;
        EXPECT_EQ(line.find("not found"), std::string::npos) << line;
        EXPECT_EQ(line.find(RAVAVIZA_TEST_BINARY_DIR), std::string::npos) << line;
        for (const char* lib : {"libCalix.so", "libTessel.so"}) {
            if (line.find(lib) == std::string::npos) continue;
            if (std::string(lib) == "libCalix.so") sawCalix = true;
            const size_t arrow = line.find("=> ");
            ASSERT_NE(arrow, std::string::npos) << line;
            const std::string resolved = line.substr(arrow + 3, line.find(" (", arrow) - arrow - 3);
            EXPECT_EQ(fs::weakly_canonical(resolved).string(),
                      fs::weakly_canonical(frameworks + lib).string());
        }
    }
    EXPECT_TRUE(sawCalix) << r.output;
}

}  // namespace

namespace {

// The shared libraries export their own interface and nothing of the static platform libraries
// folded into them, so a program that links both gets one definition of each platform symbol.
TEST(SharedLibraries, ExportOnlyTheirOwnSymbols) {
    struct Case {
        const char* library;
        std::vector<std::string> own;  // symbols the library must export
    };
    const std::vector<Case> cases{
        {CALIX_LIBRARY, {"CalixVersionNumber", "TaskHelper::", "Base64::", "FileManager::"}},
        {TESSEL_LIBRARY, {"TesselVersionNumber", "TesselServer::", "TesselClient::"}},
    };
    const std::vector<std::string> platformNamespaces{
        "paths::",    "archive::",  "fileio::", "textnum::", "procfigures::",
        "proclist::", "dispatch::", "ipc::",    "sysinfo::", "launchd::"};
    for (const Case& c : cases) {
        RunResult r = run({"/usr/bin/nm", "-DC", "--defined-only", c.library}, baseEnvironment());
        ASSERT_EQ(r.status, 0) << r.output;
        for (const std::string& own : c.own) {
            EXPECT_NE(r.output.find(own), std::string::npos) << c.library << " does not export " << own;
        }
        size_t pos = 0;
        while (pos < r.output.size()) {
            size_t eol = r.output.find('\n', pos);
            if (eol == std::string::npos) eol = r.output.size();
            const std::string line = r.output.substr(pos, eol - pos);
            pos = eol + 1;
            // nm's line: address, type, name. Weak definitions (inline functions, type
            // information) are emitted by every user of a header and merged by the loader; a
            // strong one is a copy of the static library's code. Types of a platform library in
            // the parameters of the library's own functions are fine.
            if (line.size() < 20 || std::string_view("TDBR").find(line[17]) == std::string_view::npos)
                continue;
            std::string name = line.substr(19);
            for (const char* prefix :
                 {"vtable for ", "typeinfo for ", "typeinfo name for ", "guard variable for "}) {
                if (name.starts_with(prefix)) name = name.substr(std::string(prefix).size());
            }
            for (const std::string& ns : platformNamespaces) {
                EXPECT_FALSE(name.starts_with(ns)) << c.library << " exports " << line;
            }
        }
    }
}

}  // namespace
