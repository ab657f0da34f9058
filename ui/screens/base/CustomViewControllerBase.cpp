#include "CustomViewControllerBase.h"

#include <QApplication>
#include <QMouseEvent>
#include <QTimer>

#include "AppWindows.h"
#include "CustomMessageBox.h"
#include "WindowController.h"
#include "ui/screens/controls/Localizable.h"

namespace {

// Watches the application's left clicks for one outside a view.
class OutsideClickMonitor : public QObject {
  public:
    OutsideClickMonitor(QWidget* view, bool remove, std::function<void(OutsideClickMonitor*)> done)
        : view_(view), remove_(remove), done_(std::move(done)) {}

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        (void)watched;
        const QEvent::Type type = event->type();
        if (type != QEvent::MouseButtonPress && type != QEvent::MouseButtonRelease) return false;
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() != Qt::LeftButton || fired_) return false;
        if (!view_) {
            finish();
            return false;
        }
        const QPoint local = view_->mapFromGlobal(mouse->globalPosition().toPoint());
        if (view_->rect().contains(local)) return false;
        if (remove_) {
            view_->hide();
            view_->setParent(nullptr);
            view_->deleteLater();
        } else {
            view_->hide();
        }
        finish();
        return false;
    }

  private:
    void finish() {
        fired_ = true;
        qApp->removeEventFilter(this);
        if (done_) done_(this);
        deleteLater();
    }

    QPointer<QWidget> view_;
    bool remove_;
    bool fired_ = false;
    std::function<void(OutsideClickMonitor*)> done_;
};

// Places the window now and once more after it is shown, when the title bar's size is known.
void centreOn(QWidget* window, QWidget* parent) {
    window->move(CustomViewControllerBase::getFrameOriginOfWindow(window, parent));
    QPointer<QWidget> w(window);
    QPointer<QWidget> p(parent);
    QTimer::singleShot(0, window, [w, p] {
        if (w) w->move(CustomViewControllerBase::getFrameOriginOfWindow(w, p));
    });
}

}  // namespace

CustomViewControllerBase::CustomViewControllerBase(QWidget* parent) : QWidget(parent) {}

CustomViewControllerBase::~CustomViewControllerBase() {
    if (eventMonitor_) {
        qApp->removeEventFilter(eventMonitor_);
        delete eventMonitor_.data();
    }
}

long CustomViewControllerBase::runMessageBox(const QString& title, const QString& message, long style,
                                             const QString* checkBoxTitle, const QString& first,
                                             const QString& second) {
    CustomMessageBox box;
    if (!box.window()) return AppWindows::kModalResponseAbort;
    if (checkBoxTitle) {
        box.setTitle(title, message, style, *checkBoxTitle, first, second);
    } else {
        box.setTitle(title, message, style, first, second);
    }
    return showModalWindow(box.window());
}

void CustomViewControllerBase::showErrorMessageBoxWithTitle(const QString& title, const QString& message) {
    runMessageBox(title, message, 2, nullptr, QString(), Localizable::localizedString("Confirm"));
}

void CustomViewControllerBase::showOKMessageBoxWithTitle(const QString& title, const QString& message) {
    runMessageBox(title, message, 0, nullptr, QString(), Localizable::localizedString("Confirm"));
}

long CustomViewControllerBase::showConfirmCancelMessageBoxWithTitle(const QString& title,
                                                                    const QString& message) {
    return runMessageBox(title, message, 1, nullptr, Localizable::localizedString("Confirm"),
                         Localizable::localizedString("Cancel"));
}

long CustomViewControllerBase::showConfirmCancelMessageBoxWithTitle(const QString& title,
                                                                    const QString& message,
                                                                    const QString& checkBoxTitle) {
    return runMessageBox(title, message, 1, &checkBoxTitle, Localizable::localizedString("Confirm"),
                         Localizable::localizedString("Cancel"));
}

QPoint CustomViewControllerBase::getFrameOriginOfWindow(const QWidget* window, const QWidget* parent) {
    const QRect w = window ? window->frameGeometry() : QRect();
    const QRect p = parent ? parent->frameGeometry() : QRect();
    return QPoint(p.x() + static_cast<int>((p.width() - w.width()) * 0.5),
                  p.y() + static_cast<int>((p.height() - w.height()) * 0.5));
}

long CustomViewControllerBase::showModalWindow(QWidget* window) {
    if (!window) return AppWindows::kModalResponseAbort;
    QWidget* main = AppWindows::mainWindow();
    if (main && main != window && window->parentWidget() != main) {
        // A child window of the main window stays above it and goes with it.
        const bool visible = window->isVisible();
        window->setParent(main, window->windowFlags() | Qt::Dialog);
        if (visible) window->show();
    }
    centreOn(window, main);
    return AppWindows::runModalForWindow(window);
}

void CustomViewControllerBase::showUnmodalWindow(WindowController* controller) {
    if (!controller || !controller->window()) return;
    QWidget* window = controller->window();
    centreOn(window, AppWindows::mainWindow());
    controller->showWindow();
}

void CustomViewControllerBase::addAutoHideForSubView(QWidget* view) {
    if (view) watchOutsideClicks(view, false);
}

void CustomViewControllerBase::addAutoRemoveForSubView(QWidget* view) {
    if (view) watchOutsideClicks(view, true);
}

void CustomViewControllerBase::watchOutsideClicks(QWidget* view, bool remove) {
    // One watch at a time: a new one replaces (and ends) the previous.
    if (eventMonitor_) {
        qApp->removeEventFilter(eventMonitor_);
        eventMonitor_->deleteLater();
    }
    QPointer<CustomViewControllerBase> self(this);
    auto* monitor = new OutsideClickMonitor(view, remove, [self](OutsideClickMonitor* m) {
        if (self && self->eventMonitor_ == m) self->eventMonitor_ = nullptr;
    });
    eventMonitor_ = monitor;
    qApp->installEventFilter(monitor);
}
