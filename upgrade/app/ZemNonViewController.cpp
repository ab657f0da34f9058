#include "ZemNonViewController.h"

#include "AppDelegate.h"
#include "upgrade/engine/ZemUpgradeHelper.h"
#include "platform/dispatch/WorkQueue.h"

void ZemNonViewController::finish() {
    dispatch::WorkQueue::main()->dispatch([&delegate = delegate_] { delegate.hiddenUpgradeUI(false); });
}

void ZemNonViewController::startUpgradeByForce(const std::optional<std::string>& data) {
    delegate_.runInBackground([this, data] {
        engine_.startDownloadXMLAndUpgrade(data);
        finish();
    });
}

void ZemNonViewController::startDownloadPKGAndNotifyUser(const std::optional<std::string>& data) {
    delegate_.runInBackground([this, data] {
        engine_.startDownloadAndNotInstall(data);
        finish();
    });
}

void ZemNonViewController::startUpgradeByForceFromTip() {
    delegate_.runInBackground([this] {
        engine_.installKeptPackage();
        finish();
    });
}
