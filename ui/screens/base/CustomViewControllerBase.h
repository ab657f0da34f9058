// Base of the screens' view controllers (a screen is a QWidget): message boxes, modal and
// non-modal presentation centred on the app's main window (AppWindows::mainWindow), and pop-up
// views that go away on the first click outside them. The box helpers block in a modal session
// until a button is pressed; call them on the GUI thread.
#pragma once

#include <QPoint>
#include <QPointer>
#include <QWidget>

class WindowController;

class CustomViewControllerBase : public QWidget {
    Q_OBJECT
  public:
    explicit CustomViewControllerBase(QWidget* parent = nullptr);
    ~CustomViewControllerBase() override;

    // Style 2 box with the one button "Confirm".
    void showErrorMessageBoxWithTitle(const QString& title, const QString& message);
    // Style 0 box with the one button "Confirm".
    void showOKMessageBoxWithTitle(const QString& title, const QString& message);
    // Style 1 box, "Confirm" (0) and "Cancel" (1).
    long showConfirmCancelMessageBoxWithTitle(const QString& title, const QString& message);
    // As above with a check box: 0, 1, or 3, 4 when it is ticked.
    long showConfirmCancelMessageBoxWithTitle(const QString& title, const QString& message,
                                              const QString& checkBoxTitle);

    // Centres the window on the main window, keeps it above it and runs it modally; the code the
    // session stopped with.
    long showModalWindow(QWidget* window);
    // Centres the controller's window on the main window and shows it.
    void showUnmodalWindow(WindowController* controller);
    // The top-left point that centres window on parent (a missing window counts as empty).
    static QPoint getFrameOriginOfWindow(const QWidget* window, const QWidget* parent);

    // On the first left click outside the view, the view is hidden (AutoHide) or removed and
    // deleted (AutoRemove), and the watch ends. The click itself goes on as usual.
    void addAutoHideForSubView(QWidget* view);
    void addAutoRemoveForSubView(QWidget* view);
    // The watch in place, or null.
    QObject* eventMonitor() const { return eventMonitor_; }

    int getPauseTerminateVCCount() { return 0; }

  private:
    void watchOutsideClicks(QWidget* view, bool remove);
    long runMessageBox(const QString& title, const QString& message, long style, const QString* checkBoxTitle,
                       const QString& first, const QString& second);

    QPointer<QObject> eventMonitor_;
};
