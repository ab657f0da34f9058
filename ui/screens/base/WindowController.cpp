#include "WindowController.h"

#include <QCloseEvent>
#include <QMouseEvent>
#include <QWindow>

WindowController::WindowController(QObject* parent) : QObject(parent) {}

WindowController::~WindowController() {
    delete window_.data();
}

QWidget* WindowController::window() {
    if (!window_ && !loading_) {
        loading_ = true;
        QWidget* built = loadWindow();
        loading_ = false;
        if (built) {
            setWindow(built);
            windowDidLoad();
        }
    }
    return window_;
}

void WindowController::setWindow(QWidget* window) {
    if (window_ == window) return;
    if (window_) {
        window_->removeEventFilter(this);
        window_->hide();
        window_->deleteLater();
    }
    window_ = window;
    if (window_) window_->installEventFilter(this);
}

QWidget* WindowController::loadWindow() {
    return nullptr;
}

void WindowController::showWindow() {
    QWidget* w = window();
    if (!w) return;
    w->show();
    w->raise();
    w->activateWindow();
}

void WindowController::close() {
    if (window_) window_->close();
}

void WindowController::beginSheet(QWidget* parent, std::function<void(long)> completion) {
    QWidget* w = window();
    if (!w) return;
    sheetCompletion_ = std::move(completion);
    w->hide();
    if (parent && w->parentWidget() != parent) w->setParent(parent, Qt::Sheet | Qt::Dialog);
    w->setWindowModality(Qt::WindowModal);
    if (parent) {
        const QRect outer = parent->frameGeometry();
        w->move(outer.x() + (outer.width() - w->width()) / 2, parent->geometry().y());
    }
    sheetShown_ = true;
    w->show();
    w->raise();
}

void WindowController::endSheet(long returnCode) {
    if (!sheetShown_) return;
    sheetShown_ = false;
    if (window_) window_->hide();
    auto completion = std::move(sheetCompletion_);
    sheetCompletion_ = nullptr;
    if (completion) completion(returnCode);
}

bool WindowController::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window_ && event->type() == QEvent::Close) {
        if (!windowShouldClose()) {
            event->ignore();
            return true;
        }
        windowWillClose();
        if (sheetShown_) endSheet(0);
    } else if (watched == window_ && movableByBackground_ && event->type() == QEvent::MouseButtonPress) {
        auto* press = static_cast<QMouseEvent*>(event);
        if (press->button() == Qt::LeftButton && window_->windowHandle()) {
            window_->windowHandle()->startSystemMove();
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}
