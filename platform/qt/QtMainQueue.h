// Binds the process's main queue to the Qt event loop: main-queue tasks and run-loop timers run
// on the GUI thread between Qt's own events.
#pragma once

#include <QObject>
#include <QTimer>
#include <memory>

#include "platform/dispatch/MainLoop.h"

class QtMainQueue : public QObject {
    Q_OBJECT
  public:
    // On the GUI thread, with a QCoreApplication alive.
    QtMainQueue();
    ~QtMainQueue() override;

  private:
    void drain();
    struct Driver;
    std::shared_ptr<Driver> driver_;
    QTimer timer_;
};
