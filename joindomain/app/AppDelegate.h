// The domain-join app's start once its helper is ready: the version line to the helper's log,
// the status window in front with the binding state being read, and the app activated. The app
// ends when its last window closes.
#pragma once

#include <memory>

namespace ducene {

class JoinDomainStatusWindowController;

class AppDelegate {
  public:
    AppDelegate();
    ~AppDelegate();
    void applicationDidFinishLaunching();
    JoinDomainStatusWindowController* statusWindowController() const { return statusWindowController_.get(); }

  private:
    std::unique_ptr<JoinDomainStatusWindowController> statusWindowController_;
};

}  // namespace ducene
