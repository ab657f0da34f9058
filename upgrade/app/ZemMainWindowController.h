// The window's close rule: a close is refused with an alert while the installer runs; otherwise
// it ends the flow as far as the window is concerned.
#pragma once

#include <string>

class AppDelegate;

class ZemMainWindowController {
  public:
    explicit ZemMainWindowController(AppDelegate& delegate) : delegate_(delegate) {}
    // The close button was pressed; true when the window may close.
    bool windowShouldClose();
    void showAlertWithText(const std::string& text);

  private:
    AppDelegate& delegate_;
};
