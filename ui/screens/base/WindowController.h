// The controller of one top-level window: it builds the window on first use (loadWindow, then
// windowDidLoad), shows it, asks windowShouldClose before a close and tells windowWillClose after
// one, and can run the window as a sheet on a parent window. The controller owns its window
// (setWindow(nullptr) lets it go and deletes it later).
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <functional>

class WindowController : public QObject {
    Q_OBJECT
  public:
    explicit WindowController(QObject* parent = nullptr);
    ~WindowController() override;

    // The window, built on first use; null when the subclass builds none.
    QWidget* window();
    bool isWindowLoaded() const { return !window_.isNull(); }
    // Takes the window (a top-level widget); the previous one is deleted.
    void setWindow(QWidget* window);

    // Shows the window, raises it and makes it active.
    virtual void showWindow();
    // Closes the window as its close button does (windowShouldClose may refuse).
    void close();

    // Shows the window as a sheet: window-modal over parent, centred near its top. endSheet hides
    // it and calls the completion with the code.
    void beginSheet(QWidget* parent, std::function<void(long returnCode)> completion);
    void endSheet(long returnCode);
    bool isSheetShown() const { return sheetShown_; }

    // A left press on the window's own background (not on a control) drags the window.
    void setMovableByWindowBackground(bool movable) { movableByBackground_ = movable; }
    bool isMovableByWindowBackground() const { return movableByBackground_; }

  protected:
    // Builds the window; the default builds none.
    virtual QWidget* loadWindow();
    virtual void windowDidLoad() {}
    virtual bool windowShouldClose() { return true; }
    virtual void windowWillClose() {}

    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    QPointer<QWidget> window_;
    bool loading_ = false;
    bool sheetShown_ = false;
    bool movableByBackground_ = false;
    std::function<void(long)> sheetCompletion_;
};
