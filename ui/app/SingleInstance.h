// One Hux per user. The running copy holds a lock file in the user's runtime folder with its pid
// in it; a second copy finds the lock held, asks the holder to come forward (SIGUSR1) and ends.
// The holder answers SIGUSR1 before it takes the lock (ProcessSignals::installHandlers), and the
// signal only goes to a process that runs this program.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <optional>

namespace hux {

class SingleInstance {
  public:
    static constexpr const char* kBundleIdentifier = "com.velmora.RavAviza";
    // The signal a second copy sends to bring the running one forward.
    static constexpr int kActivateSignal = SIGUSR1;

    SingleInstance() = default;
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Takes the lock of uid's copy. False when another process holds it; *holder then gets that
    // process's pid when it could be read (waiting briefly for a holder that has just taken it). Without a
    // usable runtime folder the lock counts as taken, so the app still starts.
    bool acquire(uid_t uid, std::optional<pid_t>* holder = nullptr);
    // Brings the other copy forward when pid runs this program; true when the signal was sent.
    static bool activate(pid_t pid);

  private:
    int fd_ = -1;
};

}  // namespace hux
