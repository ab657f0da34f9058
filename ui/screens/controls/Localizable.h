// The app's localisation table: screen texts are keys ("Confirm", "Cancel", "Version", ...)
// looked up here. The table starts with the resource ":/hux/Localizable.strings" (lines of
// "key" = "value";) and a screen library may add its own entries. An unknown key reads as itself.
#pragma once

#include <QHash>
#include <QString>

namespace Localizable {

QString localizedString(const QString& key);
// Adds entries; a key already present takes the new text.
void addStrings(const QHash<QString, QString>& table);
// Adds the entries of a strings file (resource or path); false when it cannot be read.
bool addStringsFile(const QString& path);
// The entries of a strings text: "key" = "value"; lines, with \" \\ \n escapes and // or /* */
// comments.
QHash<QString, QString> parseStrings(const QString& text);

}  // namespace Localizable
