// The uninstaller app's delegate: shows the main window at launch; the app ends when its last
// window closes.
#pragma once

#include <memory>

#include "UninstallerMainWindowController.h"

namespace quillet {

class AppDelegate {
  public:
    explicit AppDelegate(AppHelperManager& manager, UninstallerMainWindowController::Options options = {});
    ~AppDelegate();

    void applicationDidFinishLaunching();
    bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }
    void applicationWillTerminate() {}

    UninstallerMainWindowController* mainWindowController() const { return controller_.get(); }

  private:
    AppHelperManager& manager_;
    UninstallerMainWindowController::Options options_;
    std::unique_ptr<UninstallerMainWindowController> controller_;
};

}  // namespace quillet
