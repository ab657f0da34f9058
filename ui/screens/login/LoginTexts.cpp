#include "LoginTexts.h"

#include <mutex>

#include "ui/screens/controls/Localizable.h"

namespace LoginTexts {

namespace {

std::function<void()>& menuHandler() {
    static std::function<void()> handler;
    return handler;
}

}  // namespace

void load() {
    static std::once_flag once;
    std::call_once(once,
                   [] { Localizable::addStringsFile(QStringLiteral(":/hux/login/Localizable.strings")); });
}

QString text(const LoginReplies::Message& message) {
    const QString value = QString::fromStdString(message.text);
    return message.kind == LoginReplies::Message::Key ? Localizable::localizedString(value) : value;
}

QString localized(const char* key) {
    return Localizable::localizedString(QString::fromUtf8(key));
}

void setItemsHiddenMenuHandler(std::function<void()> handler) {
    menuHandler() = std::move(handler);
}

void setItemsHiddenMenu() {
    if (menuHandler()) menuHandler()();
}

}  // namespace LoginTexts
