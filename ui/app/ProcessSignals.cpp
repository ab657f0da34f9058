#include "ProcessSignals.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "SingleInstance.h"

namespace hux {

namespace {

int pipeFds[2] = {-1, -1};

// Only async-signal-safe work here: the signal's number goes down the pipe.
void onSignal(int signo) {
    const int saved = errno;
    const char byte = static_cast<char>(signo);
    [[maybe_unused]] ssize_t n = ::write(pipeFds[1], &byte, 1);
    errno = saved;
}

}  // namespace

bool ProcessSignals::installHandlers() {
    if (pipeFds[0] >= 0) return true;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pipeFds) != 0) return false;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SingleInstance::kActivateSignal, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    return true;
}

ProcessSignals::ProcessSignals(QObject* parent) : QObject(parent) {
    if (!installHandlers()) return;
    notifier_ = std::make_unique<QSocketNotifier>(pipeFds[0], QSocketNotifier::Read);
    // Signals that came before the notifier was there are still in the pipe: the notifier reports
    // them once the event loop runs, after main has connected this object.
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { readPending(); });
}

ProcessSignals::~ProcessSignals() {
    // The lock stays held until the process ends: a second copy may still ask it to come forward.
    ::signal(SingleInstance::kActivateSignal, SIG_IGN);
    ::signal(SIGTERM, SIG_DFL);
}

void ProcessSignals::readPending() {
    char bytes[64];
    ssize_t n;
    while ((n = ::read(pipeFds[0], bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
            if (bytes[i] == static_cast<char>(SingleInstance::kActivateSignal)) {
                emit activateRequested();
            } else if (bytes[i] == static_cast<char>(SIGTERM)) {
                emit terminateRequested();
            }
        }
    }
}

}  // namespace hux
