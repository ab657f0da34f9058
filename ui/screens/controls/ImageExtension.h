// Named images of the app. An image "name" is looked up as the resource
// ":/hux/images/<name>.png" (each screen library adds its images to the Qt resources under that
// prefix) and then as <name>.png in the app bundle's Resources folder. A null pixmap when absent.
#pragma once

#include <QPixmap>
#include <QString>

namespace Extension {

// Cached by name for the life of the process.
QPixmap imageWithName(const QString& name);
// Read afresh on every call.
QPixmap noSystemCacheImageWithName(const QString& name);
// <name>.<type> in <bundle>/Contents/Resources[/<extraPath>]; an empty bundle means the app's.
QPixmap imageWithName(const QString& name, const QString& type, const QString& bundle,
                      const QString& extraPath);

}  // namespace Extension
