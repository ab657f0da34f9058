#include "AutoReleaseWindowController.h"

#include <QMutex>
#include <QMutexLocker>

namespace {

QMutex& listLock() {
    static QMutex lock;
    return lock;
}

QList<AutoReleaseWindowController*>& list() {
    static QList<AutoReleaseWindowController*> controllers;
    return controllers;
}

}  // namespace

AutoReleaseWindowController::AutoReleaseWindowController(QObject* parent) : BaseWindowController(parent) {
    QMutexLocker lock(&listLock());
    list().append(this);
}

AutoReleaseWindowController::~AutoReleaseWindowController() {
    QMutexLocker lock(&listLock());
    list().removeAll(this);
}

QList<AutoReleaseWindowController*> AutoReleaseWindowController::autoReleaseWCs() {
    QMutexLocker lock(&listLock());
    return list();
}

void AutoReleaseWindowController::windowWillClose() {
    BaseWindowController::windowWillClose();
    {
        QMutexLocker lock(&listLock());
        if (!list().removeAll(this)) return;
    }
    deleteLater();
}
