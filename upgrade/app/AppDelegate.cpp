#include "AppDelegate.h"

#include <cstdlib>

#include "LogUpgradeHelper.h"
#include "upgrade/engine/ZemUpgradeHelper.h"
#include "platform/dispatch/WorkQueue.h"
#include "common/logger/LogSink.h"

using common::flushProcessLog;

namespace {
AppDelegate* gDelegate = nullptr;
}

AppDelegate::AppDelegate(Options options)
    : options_(std::move(options)),
      engine_(options_.engine ? *options_.engine : ZemUpgradeHelper::sharedInstance()),
      windowController_(*this) {
    vcc_ = std::make_unique<ZemViewController>(*this, engine_, options_.daemon);
    nonVC_ = std::make_unique<ZemNonViewController>(*this, engine_);
    gDelegate = this;
}

AppDelegate::~AppDelegate() {
    if (gDelegate == this) gDelegate = nullptr;
}

void AppDelegate::runInBackground(std::function<void()> work) {
    ++*backgroundWork_;
    dispatch::WorkQueue::global()->dispatch([work = std::move(work), counter = backgroundWork_] {
        work();
        --*counter;
    });
}

AppDelegate* AppDelegate::appDelegate() {
    return gDelegate;
}

void AppDelegate::log(const std::string& line) {
    LogUpgradeHelper::sharedInstance().writeLog(line, 0);
}

void AppDelegate::setContent(WindowState::Content content) {
    vcc_->mutableState().content = content;
    vcc_->mutableState().isInstalling = isInstalling;
    vcc_->publish();
}

void AppDelegate::applicationDidFinishLaunching(const std::optional<std::string>& secondArgument) {
    isInstalling = false;
    if (secondArgument && *secondArgument == "-1") {
        setContent(WindowState::Content::Upgrade);
        showUpgradeUIByUser();
    } else {
        setContent(WindowState::Content::Empty);
    }
}

void AppDelegate::showUpgradeUIByUser() {
    log("[showUpgradeUIByUser] start upgrade....");
    upgradeFrom = 0;
    isUpgrading = true;
    setContent(WindowState::Content::Upgrade);
    if (window()) window()->show(false);
    vcc_->startGetUpgradeInfo();
}

void AppDelegate::showUpgradeUIByTipUser() {
    log("[showUpgradeUIByTipUser] start upgrade....");
    upgradeFrom = 3;
    isUpgrading = true;
    setContent(WindowState::Content::Upgrade);
    if (window()) window()->show(true);
    vcc_->startInstallPKG();
}

void AppDelegate::hiddenUpgradeUIByTipForce() {
    if (isUpgrading) {
        log("[hiddenUpgradeUIByTipForce]is running upgrade....");
        return;
    }
    upgradeFrom = 4;
    setContent(WindowState::Content::Empty);
    isUpgrading = true;
    nonVC_->startUpgradeByForceFromTip();
}

void AppDelegate::hiddenUpgradeUIBypForce(const std::optional<std::string>& data) {
    if (isUpgrading) {
        log("[hiddenUpgradeUIBypForce]is running upgrade....");
        return;
    }
    log("[hiddenUpgradeUIBypForce] start upgrade....");
    upgradeFrom = 1;
    setContent(WindowState::Content::Empty);
    isUpgrading = true;
    nonVC_->startUpgradeByForce(data);
}

void AppDelegate::hiddenUpgradeUIAndDownloadPKG(const std::optional<std::string>& data) {
    if (isUpgrading) {
        log("[hiddenUpgradeUIAndDownloadPKG] is running upgrade....");
        return;
    }
    log("[hiddenUpgradeUIAndDownloadPKG] start upgrade....");
    isUpgrading = true;
    setContent(WindowState::Content::Empty);
    nonVC_->startDownloadPKGAndNotifyUser(data);
}

void AppDelegate::hiddenUpgradeUI(bool terminate) {
    isInstalling = false;
    upgradeFrom = 5;
    isUpgrading = false;
    // As if the close button were pressed: with the installer done, the close is allowed.
    if (windowController_.windowShouldClose() && window()) window()->close();
    setContent(WindowState::Content::Empty);
    if (terminate) {
        flushProcessLog();
        if (options_.terminate)
            options_.terminate(0);
        else
            std::exit(0);
    }
}

void AppDelegate::showUpgradeUI() {
    isInstalling = false;
    isUpgrading = false;
    vcc_->mutableState().isInstalling = false;
    vcc_->publish();
    if (window()) window()->show(true);
}

void AppDelegate::windowCloseRequested() {
    if (!windowController_.windowShouldClose()) return;
    if (window()) window()->close();
}

bool AppDelegate::applicationShouldTerminateAfterLastWindowClosed() {
    setContent(WindowState::Content::Empty);
    return false;
}
