// The upgrade app's delegate: turns each remote operation into one of the five upgrade flows and
// keeps the app's state flags. Everything here runs on the main queue.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "UpgradeWindow.h"
#include "ZemMainWindowController.h"
#include "ZemNonViewController.h"
#include "ZemViewController.h"

class ZemUpgradeHelper;

class AppDelegate {
  public:
    struct Options {
        ZemUpgradeHelper* engine = nullptr;  // null: the shared engine
        UpgradeWindow* window = nullptr;     // null: no window can be shown
        ZemViewController::DaemonLookup daemon = ZemViewController::defaultDaemonLookup();
        // Ends the process; called by hiddenUpgradeUI(true).
        std::function<void(int)> terminate;
    };

    explicit AppDelegate(Options options);
    ~AppDelegate();
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    // The delegate every other part reaches; set while one lives.
    static AppDelegate* appDelegate();

    // Launch, after the connection is vended: secondArgument is the third element of the
    // process's argument vector, when there is one.
    void applicationDidFinishLaunching(const std::optional<std::string>& secondArgument);

    void showUpgradeUIByUser();
    void showUpgradeUIByTipUser();
    void hiddenUpgradeUIByTipForce();
    void hiddenUpgradeUIBypForce(const std::optional<std::string>& data);
    void hiddenUpgradeUIAndDownloadPKG(const std::optional<std::string>& data);
    void hiddenUpgradeUI(bool terminate);
    void showUpgradeUI();
    // The window's close button: closes it unless the installer runs.
    void windowCloseRequested();
    // Closing the last window never ends the app.
    bool applicationShouldTerminateAfterLastWindowClosed();

    bool isUpgrading = false;
    bool isInstalling = false;
    uint64_t upgradeFrom = 0;

    // Flows still running off the main queue; their last main-queue work is queued when they end.
    int backgroundWork() const { return backgroundWork_->load(); }
    // Runs work on the global queue, counted by backgroundWork().
    void runInBackground(std::function<void()> work);

    UpgradeWindow* window() const { return options_.window; }
    ZemViewController& vcc() { return *vcc_; }
    ZemNonViewController& nonVC() { return *nonVC_; }
    ZemMainWindowController& windowController() { return windowController_; }

  private:
    void setContent(WindowState::Content content);
    void log(const std::string& line);

    Options options_;
    std::shared_ptr<std::atomic<int>> backgroundWork_ = std::make_shared<std::atomic<int>>(0);
    ZemUpgradeHelper& engine_;
    std::unique_ptr<ZemViewController> vcc_;
    std::unique_ptr<ZemNonViewController> nonVC_;
    ZemMainWindowController windowController_;
};
