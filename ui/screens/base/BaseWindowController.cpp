#include "BaseWindowController.h"

void BaseWindowController::windowDidLoad() {
    WindowController::windowDidLoad();
    if (QWidget* w = window()) w->setWindowTitle(QString());
}
