// A window controller that keeps itself alive until its window closes: every instance (made with
// new) sits in a process-wide list, and leaves it and is deleted when its own window closes.
#pragma once

#include <QList>

#include "BaseWindowController.h"

class AutoReleaseWindowController : public BaseWindowController {
    Q_OBJECT
  public:
    explicit AutoReleaseWindowController(QObject* parent = nullptr);
    ~AutoReleaseWindowController() override;

    // The live instances.
    static QList<AutoReleaseWindowController*> autoReleaseWCs();

  protected:
    void windowWillClose() override;
};
