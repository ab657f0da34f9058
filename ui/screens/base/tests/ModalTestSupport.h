// Acting inside a modal session from a test: the action runs once the session's window is up,
// and a guard ends any session still running after ten seconds, so a fault cannot hang the test.
#pragma once

#include <QTimer>
#include <functional>
#include <memory>

#include "ui/screens/base/AppWindows.h"

namespace qttest {

class WhenModal {
  public:
    explicit WhenModal(std::function<void(QWidget* window)> action) : action_(std::move(action)) {
        poll_.setInterval(5);
        QObject::connect(&poll_, &QTimer::timeout, [this] {
            QWidget* window = AppWindows::modalWindow();
            if (!window || !window->isVisible()) return;
            poll_.stop();
            seen = window;
            action_(window);
        });
        poll_.start();
        guard_.setSingleShot(true);
        QObject::connect(&guard_, &QTimer::timeout, [] {
            ADD_FAILURE() << "modal session still running";
            AppWindows::abortModal();
        });
        guard_.start(10000);
    }
    QWidget* seen = nullptr;

  private:
    std::function<void(QWidget*)> action_;
    QTimer poll_;
    QTimer guard_;
};

}  // namespace qttest
