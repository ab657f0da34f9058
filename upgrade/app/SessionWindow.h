// The root app's side of the upgrade window: the window process runs as the console user in that
// user's session and listens in the user's runtime folder under kWindowService; this class starts
// it when a window is needed, connects to it, sends it what to draw, and hands the user's clicks
// (confirm, close) to the delegate on the main queue. All IPC runs on a serial queue of its own,
// so the main queue never waits for the window.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "UpgradeWindow.h"
#include "platform/dispatch/WorkQueue.h"
#include "platform/ipc/XpcConnection.h"

struct WindowUser {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string name, home;
};

class SessionWindow : public UpgradeWindow {
  public:
    static constexpr const char* kWindowService = "RavAviza_upgrade_window";

    struct Options {
        // The window process's program.
        std::string program;
        // The console user whose session shows the window; nothing when nobody is signed in.
        std::function<std::optional<WindowUser>()> consoleUser;
        // How long a started window process has to start listening.
        std::chrono::milliseconds connectWait{10000};
    };

    explicit SessionWindow(Options options);
    ~SessionWindow() override;

    void render(const WindowState& state) override;
    void show(bool forceFront) override;
    void close() override;
    void alert(const std::string& text) override;

    // The console user from logind (utmp as the fallback) and the password database.
    static std::optional<WindowUser> defaultConsoleUser();

  private:
    void send(archive::Dictionary message, bool needsWindow);
    bool connect(bool start);
    void startProcess(const WindowUser& user);
    void reap();

    Options options_;
    std::shared_ptr<dispatch::WorkQueue> queue_;
    // Owned by queue_.
    std::shared_ptr<ipc::XpcConnection> connection_;
    std::optional<uid_t> connectedUid_;
    std::optional<WindowState> lastState_;
    std::vector<pid_t> children_;
};
