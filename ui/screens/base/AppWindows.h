// Application-wide window services the screens share: which window is the app's main window
// (the one boxes and sheets centre on), and modal sessions. runModalForWindow shows a window
// application-modal and runs the event loop until stopModalWithCode (or abortModal) ends the
// innermost session; that code is its result. A window closed or destroyed while it runs modally
// ends its session with kModalResponseAbort, so a session can never outlive its window.
#pragma once

#include <QPointer>
#include <QWidget>

class AppWindows {
  public:
    static constexpr long kModalResponseStop = -1000;
    static constexpr long kModalResponseAbort = -1001;

    // The main window (set by the app when it makes it); while it lives it is the answer of
    // mainWindow(), otherwise the active window.
    static void setMainWindow(QWidget* window);
    static QWidget* mainWindow();

    // Main (GUI) thread only.
    static long runModalForWindow(QWidget* window);
    static void stopModalWithCode(long code);
    static void abortModal();
    // Stops the session running that window, if one does; other sessions go on.
    static void stopModalForWindow(QWidget* window, long code);
    // The window of the innermost modal session, or null.
    static QWidget* modalWindow();
    static int modalDepth();
};
