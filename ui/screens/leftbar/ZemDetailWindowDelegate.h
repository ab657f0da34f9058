// What the device-info window asks of the one that opened it (the left bar).
#pragma once

class QWidget;
class ZemDetailWindow;

class ZemDetailWindowDelegate {
  public:
    virtual ~ZemDetailWindowDelegate() = default;
    // A QR sign-in completed: the window is done.
    virtual void closeDetailWindow(ZemDetailWindow* window) = 0;
    // The window shows the signed-out state: the QR-login poll should run.
    virtual void StartCheckLogin() = 0;
    // The window shows a signed-in account: the name should be read again.
    virtual void refreshUserName() = 0;
};

// The window's close control asks this first; NO keeps the window open.
class ZemWindowDelegate {
  public:
    virtual ~ZemWindowDelegate() = default;
    virtual bool windowShouldClose(QWidget* window) = 0;
};
