#include "AppDelegate.h"

#include <QApplication>

namespace quillet {

AppDelegate::AppDelegate(AppHelperManager& manager, UninstallerMainWindowController::Options options)
    : manager_(manager), options_(std::move(options)) {}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() {
    QApplication::setQuitOnLastWindowClosed(applicationShouldTerminateAfterLastWindowClosed());
    controller_ = std::make_unique<UninstallerMainWindowController>(manager_, options_);
    controller_->show();
    controller_->raise();
    controller_->activateWindow();
}

}  // namespace quillet
