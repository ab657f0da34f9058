#include "MainStrings.h"

#include <QString>
#include <mutex>

#include "ui/screens/controls/Localizable.h"

namespace hux {

void loadMainStrings() {
    static std::once_flag once;
    std::call_once(once, [] { Localizable::addStringsFile(QStringLiteral(":/hux/MainLocalizable.strings")); });
}

}  // namespace hux
