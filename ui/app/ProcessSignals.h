// The process signals the app answers, moved onto the GUI thread: SIGUSR1 from a second copy
// (come forward) and SIGTERM from the session (a terminate request, as at logout).
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <memory>

namespace hux {

class ProcessSignals : public QObject {
    Q_OBJECT
  public:
    // One per process, made on the GUI thread; installs the handlers.
    explicit ProcessSignals(QObject* parent = nullptr);
    ~ProcessSignals() override;

  signals:
    void activateRequested();
    void terminateRequested();

  private:
    void readPending();
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace hux
