#include "SessionWindow.h"

#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "AppDelegate.h"
#include "LogUpgradeHelper.h"
#include "platform/spawn/Spawn.h"
#include "platform/sysinfo/ConsoleUser.h"

namespace {

void log(const std::string& line) {
    LogUpgradeHelper::sharedInstance().writeLog(line, 0);
}

std::string textOf(const archive::Dictionary& d, const char* key) {
    auto it = d.find(key);
    return it != d.end() && it->second.string() ? *it->second.string() : std::string();
}

}  // namespace

SessionWindow::SessionWindow(Options options)
    : options_(std::move(options)), queue_(dispatch::WorkQueue::create("com.velmora.perrow.window")) {}

SessionWindow::~SessionWindow() {
    queue_->dispatchSync([this] {
        if (connection_) connection_->invalidate();
        connection_.reset();
        for (pid_t pid : children_) ::kill(pid, SIGTERM);
        for (pid_t pid : children_) ::waitpid(pid, nullptr, 0);
        children_.clear();
    });
}

std::optional<WindowUser> SessionWindow::defaultConsoleUser() {
    auto name = sysinfo::consoleUser();
    if (!name || name->empty()) return std::nullopt;
    std::vector<char> buffer(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (::getpwnam_r(name->c_str(), &pw, buffer.data(), buffer.size(), &found) != 0 || !found)
        return std::nullopt;
    return WindowUser{pw.pw_uid, pw.pw_gid, pw.pw_name, pw.pw_dir};
}

void SessionWindow::reap() {
    std::erase_if(children_, [](pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) != 0; });
}

void SessionWindow::startProcess(const WindowUser& user) {
    spawn::Options o;
    o.program = options_.program;
    o.argv = {options_.program};
    o.user = spawn::User{user.uid, user.gid, {}};
    o.grouping = spawn::Grouping::OwnSession;
    o.workingDirectory = "/";
    // The user's session: its runtime folder and display, and nothing else of root's environment.
    std::vector<std::string> env = {"HOME=" + user.home, "USER=" + user.name, "LOGNAME=" + user.name,
                                    "PATH=/usr/bin:/bin",
                                    "XDG_RUNTIME_DIR=/run/user/" + std::to_string(user.uid)};
    const char* display = std::getenv("DISPLAY");
    env.push_back(std::string("DISPLAY=") + (display ? display : ":0"));
    for (const char* name : {"WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "RAVAVIZA_ROOT"})
        if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
    o.environment = env;
    int error = 0;
    auto child = spawn::start(o, &error);
    if (!child) {
        log("[SessionWindow] cannot start the window: " + std::to_string(error));
        return;
    }
    children_.push_back(child->pid);
}

bool SessionWindow::connect(bool start) {
    reap();
    auto user = options_.consoleUser ? options_.consoleUser() : std::nullopt;
    if (connection_ && connection_->isValid() && user && connectedUid_ == user->uid) return true;
    if (connection_) connection_->invalidate();
    connection_.reset();
    connectedUid_.reset();
    if (!user) {
        if (start) log("[SessionWindow] no user at the console: no window");
        return false;
    }
    ipc::XpcOptions xo;
    xo.scope = ipc::Scope::ofUser(user->uid);
    xo.sendTimeout = 2.0;
    xo.maxMessageBytes = 64 * 1024;
    auto attempt = [&]() -> bool {
        auto c = ipc::XpcConnection::create(kWindowService, xo);
        c->setMessageHandler([](const ipc::XpcMessage& m, const ipc::XpcConnection::Reply&) {
            const std::string op = textOf(m, "op");
            std::string title = textOf(m, "title");
            dispatch::WorkQueue::main()->dispatch([op, title] {
                AppDelegate* d = AppDelegate::appDelegate();
                if (!d) return;
                if (op == "confirm") d->vcc().confirmAction(title);
                if (op == "close") d->windowCloseRequested();
            });
        });
        c->resume();
        // A message with a reply proves the window listens (a failed connect invalidates at once).
        if (!c->sendSync({{"op", "hello"}}, 2.0)) {
            c->invalidate();
            return false;
        }
        connection_ = c;
        connectedUid_ = user->uid;
        return true;
    };
    if (attempt()) return true;
    if (!start) return false;
    startProcess(*user);
    const auto deadline = std::chrono::steady_clock::now() + options_.connectWait;
    while (std::chrono::steady_clock::now() < deadline) {
        if (attempt()) {
            if (lastState_) connection_->send({{"op", "render"}, {"state", lastState_->encode()}});
            return true;
        }
        reap();
        if (children_.empty()) break;  // the window process ended
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    log("[SessionWindow] the window did not come up");
    return false;
}

void SessionWindow::send(archive::Dictionary message, bool needsWindow) {
    queue_->dispatch([this, message = std::move(message), needsWindow] {
        if (!connect(needsWindow)) return;
        connection_->send(message);
    });
}

void SessionWindow::render(const WindowState& state) {
    queue_->dispatch([this, state] { lastState_ = state; });
    send({{"op", "render"}, {"state", state.encode()}}, false);
}

void SessionWindow::show(bool forceFront) {
    send({{"op", "show"}, {"front", forceFront}}, true);
}

void SessionWindow::close() {
    send({{"op", "close"}}, false);
}

void SessionWindow::alert(const std::string& text) {
    send({{"op", "alert"}, {"text", text}}, true);
}
