#include "ZemMainWindowController.h"

#include "AppDelegate.h"

bool ZemMainWindowController::windowShouldClose() {
    if (delegate_.isInstalling) {
        showAlertWithText("不能取消安装");
        return false;
    }
    delegate_.upgradeFrom = 5;
    delegate_.isUpgrading = false;
    return true;
}

void ZemMainWindowController::showAlertWithText(const std::string& text) {
    if (auto* window = delegate_.window()) window->alert(text);
}
