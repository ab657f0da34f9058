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
    // The texts live in the app's one table; reading it once here keeps the first lookup off
    // the reply path.
    static std::once_flag once;
    std::call_once(once, [] { Localizable::localizedString(QStringLiteral("Login")); });
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
