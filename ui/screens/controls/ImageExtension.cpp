#include "ImageExtension.h"

#include <QFileInfo>
#include <QPixmapCache>

#include "platform/paths/Paths.h"

namespace Extension {
namespace {

QPixmap load(const QString& name) {
    if (name.isEmpty()) return {};
    QPixmap image(QStringLiteral(":/hux/images/%1.png").arg(name));
    if (!image.isNull()) return image;
    return QPixmap(QString::fromStdString(paths::uiAppResources()) + "/" + name + ".png");
}

}  // namespace

QPixmap imageWithName(const QString& name) {
    const QString key = QStringLiteral("hux:") + name;
    QPixmap image;
    if (QPixmapCache::find(key, &image)) return image;
    image = load(name);
    if (!image.isNull()) QPixmapCache::insert(key, image);
    return image;
}

QPixmap noSystemCacheImageWithName(const QString& name) {
    return load(name);
}

QPixmap imageWithName(const QString& name, const QString& type, const QString& bundle,
                      const QString& extraPath) {
    if (name.isEmpty()) return {};
    QString folder =
        (bundle.isEmpty() ? QString::fromStdString(paths::uiAppBundle()) : bundle) + "/Contents/Resources";
    if (!extraPath.isEmpty()) folder += "/" + extraPath;
    const QString file = folder + "/" + name + (type.isEmpty() ? QString() : "." + type);
    return QFileInfo(file).isFile() ? QPixmap(file) : QPixmap();
}

}  // namespace Extension
