// The window's content controller: asks the daemon whether there is a new version, shows the
// answer, downloads and installs on the user's confirmation with progress, and installs a kept
// package. All control changes happen on the main queue; the daemon query, the manifest and
// package steps and the kept-package install run on the global queue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "WindowState.h"
#include "platform/ipc/NamedConnection.h"

class AppDelegate;
class ZemUpgradeHelper;

class ZemViewController {
  public:
    static constexpr const char* kConfirmUpgradeNow = "立即更新";
    static constexpr const char* kConfirmRetry = "重 试";
    static constexpr const char* kConfirmOk = "确 定";
    static constexpr const char* kDaemonConnection = "com.velmora.ravaviza.upgrade.proxy";

    // Finds the daemon's connection; nothing when it is not there.
    using DaemonLookup = std::function<std::shared_ptr<ipc::ConnectionProxy>()>;

    ZemViewController(AppDelegate& delegate, ZemUpgradeHelper& engine, DaemonLookup daemon);

    void startGetUpgradeInfo();
    void startGetUpgradeRequest();
    void startDownloadAppXML();
    void startInstallPKG();
    void upgradeFailed(const std::string& message);
    void confirmAction(const std::string& title);
    void gradualProgressWithView(double value);

    int32_t upType = 0;
    std::optional<std::string> xmlDownloadURLString;
    const WindowState& state() const { return state_; }
    WindowState& mutableState() { return state_; }
    // Sends the state to the window.
    void publish();

    static DaemonLookup defaultDaemonLookup();

  private:
    void dropProgressBar();
    void showUnreachable();
    void showAnswer(const std::string& answer);
    void step(bool ok, const std::string& message, bool hideConfirm);

    AppDelegate& delegate_;
    ZemUpgradeHelper& engine_;
    DaemonLookup daemon_;
    WindowState state_;
};
