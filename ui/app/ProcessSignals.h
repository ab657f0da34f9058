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
    // Installs the handlers; signals that come before the object exists wait for it. Called by
    // main before the single-instance lock is taken, so a second copy that finds the lock can
    // never end this one with SIGUSR1's default action. Idempotent.
    static bool installHandlers();

    // One per process, made on the GUI thread; installs the handlers when main has not.
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
