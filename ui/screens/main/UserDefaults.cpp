#include "UserDefaults.h"

#include "ui/session/log/ZemLogHelper.h"

namespace hux {

std::unique_ptr<QSettings> userDefaults() {
    const QString path = QString::fromStdString(ZemLogHelper::homeDirectory()) +
                         QStringLiteral("/.config/com.velmora.RavAviza.conf");
    return std::make_unique<QSettings>(path, QSettings::IniFormat);
}

}  // namespace hux
