#include "AppWindows.h"

#include <QApplication>
#include <QEvent>
#include <QEventLoop>
#include <algorithm>
#include <vector>

namespace {

struct Session {
    QPointer<QWidget> window;
    QEventLoop* loop = nullptr;
    long code = AppWindows::kModalResponseAbort;
    bool stopped = false;
};

std::vector<Session*>& sessions() {
    static std::vector<Session*> stack;
    return stack;
}

QPointer<QWidget>& mainWindowSlot() {
    static QPointer<QWidget> window;
    return window;
}

void stopSession(Session* session, long code) {
    if (session->stopped) return;
    session->stopped = true;
    session->code = code;
    session->loop->exit(0);
}

// Ends the session of a window that closes or goes away.
class CloseWatcher : public QObject {
  public:
    explicit CloseWatcher(Session* session) : session_(session) {}

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Hide && watched == session_->window) {
            stopSession(session_, AppWindows::kModalResponseAbort);
        }
        return false;
    }

  private:
    Session* session_;
};

}  // namespace

void AppWindows::setMainWindow(QWidget* window) {
    mainWindowSlot() = window;
}

QWidget* AppWindows::mainWindow() {
    if (QWidget* window = mainWindowSlot().data()) return window;
    return QApplication::activeWindow();
}

long AppWindows::runModalForWindow(QWidget* window) {
    if (!window) return kModalResponseAbort;
    QEventLoop loop;
    Session session;
    session.window = window;
    session.loop = &loop;
    const Qt::WindowModality modality = window->windowModality();
    // Modality can change only while the window is hidden.
    if (window->isVisible()) window->hide();
    CloseWatcher watcher(&session);
    window->installEventFilter(&watcher);
    QObject::connect(window, &QObject::destroyed, &loop,
                     [&session] { stopSession(&session, kModalResponseAbort); });

    window->setWindowModality(Qt::ApplicationModal);
    sessions().push_back(&session);
    window->show();
    window->raise();
    window->activateWindow();
    if (!session.stopped) loop.exec(QEventLoop::DialogExec);
    sessions().erase(std::find(sessions().begin(), sessions().end(), &session));
    if (session.window) {
        session.window->removeEventFilter(&watcher);
        const bool visible = session.window->isVisible();
        if (visible) session.window->hide();
        session.window->setWindowModality(modality);
        if (visible) session.window->show();
    }
    return session.code;
}

void AppWindows::stopModalWithCode(long code) {
    if (sessions().empty()) return;
    stopSession(sessions().back(), code);
}

void AppWindows::abortModal() {
    stopModalWithCode(kModalResponseAbort);
}

void AppWindows::stopModalForWindow(QWidget* window, long code) {
    for (Session* session : sessions()) {
        if (window && session->window == window) stopSession(session, code);
    }
}

QWidget* AppWindows::modalWindow() {
    return sessions().empty() ? nullptr : sessions().back()->window.data();
}

int AppWindows::modalDepth() {
    return static_cast<int>(sessions().size());
}
