#include "AppDelegate.h"

#include "DuceneHelperManager.h"
#include "JoinDomainStatusWindowController.h"

namespace ducene {

AppDelegate::AppDelegate() = default;
AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() {
    DuceneHelperManager::sharedInstance().helperStatus();
    statusWindowController_ = std::make_unique<JoinDomainStatusWindowController>();
    statusWindowController_->show();
    statusWindowController_->raise();
    statusWindowController_->loadDomainView();
    statusWindowController_->activateWindow();
}

}  // namespace ducene
