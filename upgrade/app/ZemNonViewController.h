// The windowless content controller: runs the silent flows on the global queue and ends each by
// hiding the window on the main queue.
#pragma once

#include <optional>
#include <string>

class AppDelegate;
class ZemUpgradeHelper;

class ZemNonViewController {
  public:
    ZemNonViewController(AppDelegate& delegate, ZemUpgradeHelper& engine)
        : delegate_(delegate), engine_(engine) {}

    void startUpgradeByForce(const std::optional<std::string>& data);
    void startDownloadPKGAndNotifyUser(const std::optional<std::string>& data);
    void startUpgradeByForceFromTip();

  private:
    void finish();
    AppDelegate& delegate_;
    ZemUpgradeHelper& engine_;
};
