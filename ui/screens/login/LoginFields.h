// Small helpers the login screens share for their fields and buttons.
#pragma once

#include <QFont>
#include <QLineEdit>
#include <QObject>
#include <QString>
#include <string>

#include "ui/screens/controls/CustomButton.h"
#include "ui/screens/login/LoginTexts.h"

namespace loginfields {

// The identifier an interface file gives a field ("loginID", ...).
inline QString identifier(const QObject* field) {
    return field ? field->property("identifier").toString() : QString();
}

inline std::string utf8(const QLineEdit* field) {
    return field ? field->text().toStdString() : std::string();
}

// A title of the login screens' buttons: the localised text, light 16 px, 12 px from the top.
inline void setButtonTitle(CustomButton* button, const char* key) {
    QFont font(QStringLiteral("HelveticaNeue-Light"));
    font.setPixelSize(16);
    button->setTitle(LoginTexts::localized(key), QRect(0, 12, button->width(), button->height()),
                     Qt::AlignHCenter | Qt::AlignTop, font);
}

}  // namespace loginfields
