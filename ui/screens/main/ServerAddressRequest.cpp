#include "ServerAddressRequest.h"

#include "platform/archive/Value.h"
#include "ui/session/login/UserStateFolder.h"

namespace hux {

bool writeServerAddressRequest(const QString& host, const QString& port) {
    const std::string h = host.toStdString();
    const std::string p = port.toStdString();
    return UserStateFolder::write(kDomainOrIpFile,
                                  archive::Array{archive::Array{h, p}, archive::Array{h, p}});
}

bool isPureNumandCharacters(const QString& text, bool refuseEmptyAndZero) {
    if (refuseEmptyAndZero && (text.isEmpty() || text == QLatin1String("0"))) return false;
    for (QChar c : text)
        if (!c.isDigit()) return false;
    return true;
}

}  // namespace hux
