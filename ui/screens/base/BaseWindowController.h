// Base of window controllers whose window has a plain, untitled title bar (the message box).
#pragma once

#include "WindowController.h"

class BaseWindowController : public WindowController {
    Q_OBJECT
  public:
    using WindowController::WindowController;

  protected:
    // Empty title on a white window.
    void windowDidLoad() override;
};
