#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "TestSupport.h"
#include "framework/process/MacIsAppRunning.h"
#include "framework/process/TaskHelper.h"

using calix::MacIsAppRunning;
using calix::TaskHelper;

namespace {

using calixtest::eventually;

// Runs a copy of sleep under a chosen file name, optionally as another user.
class NamedProcess {
  public:
    NamedProcess(const std::string& folder, const std::string& name,
                 std::optional<uid_t> asUser = std::nullopt) {
        std::string program = folder + "/" + name;
        std::filesystem::copy_file("/bin/sleep", program, std::filesystem::copy_options::overwrite_existing);
        ::chmod(program.c_str(), 0755);
        pid_ = ::fork();
        if (pid_ == 0) {
            if (asUser && (::setgid(*asUser) != 0 || ::setuid(*asUser) != 0)) ::_exit(126);
            ::execl(program.c_str(), program.c_str(), "30", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        // The name is the program's only after exec; wait for that before asking about it.
        eventually([&] {
            return calixtest::readText("/proc/" + std::to_string(pid_) + "/comm") ==
                   name.substr(0, 15) + "\n";
        });
    }
    NamedProcess(const NamedProcess&) = delete;
    NamedProcess& operator=(const NamedProcess&) = delete;
    ~NamedProcess() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    pid_t pid() const { return pid_; }
    // Ends the process but leaves it a zombie until the destructor reaps it.
    void killKeepingZombie() {
        ::kill(pid_, SIGKILL);
        eventually([&] {
            auto s = calixtest::procStat(pid_);
            return s && s->state == 'Z';
        });
    }

  private:
    pid_t pid_ = -1;
};

class calix_process_ProcessNames : public ::testing::Test {
  protected:
    static bool forUser(const std::string& name) { return MacIsAppRunning::isUserAppRunning(name); }
    static bool forRoot(const std::string& name) { return MacIsAppRunning::isRootAppRunning(name); }
    static bool anyUser(const std::string& name) { return TaskHelper::sharedInstance().processRunning(name); }
    testsupport::TempFolder dir_{"calix_process", 0755};
};

TEST_F(calix_process_ProcessNames, MatchesExactNamesOnly) {
    NamedProcess shortName(dir_.path(), "calixprobe");
    NamedProcess longName(dir_.path(), "calixprobe_with_a_long_name");
    struct Case {
        std::string name;
        bool running;
    } cases[] = {
        {"calixprobe", true},
        {"calixprob", false},    // a prefix is not the name
        {"calixprobe2", false},  // nor is a longer name
        {"calixprobe_with_a_long_name", true},
        // Same first 15 bytes as the running program, so only the full name can tell them apart.
        {"calixprobe_with_a_long_other", false},
        {"calixprobe_with", false},
        {"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(forUser(c.name), c.running);
        EXPECT_EQ(forRoot(c.name), c.running);
        EXPECT_EQ(anyUser(c.name), c.running);
    }
    EXPECT_EQ(&MacIsAppRunning::sharedInstance(), &MacIsAppRunning::sharedInstance());
}

TEST_F(calix_process_ProcessNames, EndedProcessesDoNotCount) {
    NamedProcess probe(dir_.path(), "calixzombie");
    EXPECT_TRUE(forUser("calixzombie"));
    probe.killKeepingZombie();
    EXPECT_FALSE(forUser("calixzombie"));
    EXPECT_FALSE(anyUser("calixzombie"));
}

TEST_F(calix_process_ProcessNames, OtherUsersProcessesCountOnlyForAnyUser) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a process as another user";
    const uid_t nobody = 65534;
    NamedProcess probe(dir_.path(), "calixnobody", nobody);
    ASSERT_TRUE(anyUser("calixnobody"));
    EXPECT_FALSE(forUser("calixnobody"));
    EXPECT_FALSE(forRoot("calixnobody"));
}

}  // namespace
