// The one upgrade window as the root app drives it. The window itself lives in a process of the
// console user (a root process cannot draw in the user's session); this is the root app's side of
// it. Every call comes from the main queue.
#pragma once

#include <string>

#include "WindowState.h"

class UpgradeWindow {
  public:
    virtual ~UpgradeWindow() = default;
    // Draws the controls as the state gives them.
    virtual void render(const WindowState& state) = 0;
    // Brings the window to the front and makes it key; activates the app, forcing it to the
    // front when forceFront is set.
    virtual void show(bool forceFront) = 0;
    // Closes the window (it is kept for a later show).
    virtual void close() = 0;
    // An alert titled "Zem" with one button, shown as a sheet on the window.
    virtual void alert(const std::string& text) = 0;
};
