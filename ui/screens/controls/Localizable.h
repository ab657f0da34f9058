// The app's localisation table: screen texts are keys ("Confirm", "Cancel", "Version", ...)
// looked up here. The table is read on first use from the resource ":/hux/Localizable.strings"
// and then from every resource file in ":/hux/strings/" in name order (lines of
// "key" = "value";). A screen library adds its texts by putting its own file there, e.g.
//   qt_add_resources(mylib "mylib_strings" PREFIX "/hux" BASE resources
//                    FILES resources/strings/Login.strings)
// or by calling addStrings. An unknown key reads as itself.
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
