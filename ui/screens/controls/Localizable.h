// The app's localisation table: screen texts are keys ("Confirm", "Cancel", "Version", ...)
// looked up here. The table is read on first use from the resource ":/hux/Localizable.strings"
// (lines of "key" = "value";), the one table of the app's language: every screen's texts live
// there, so that a key has one text wherever it is shown. Files in ":/hux/strings/" are read after
// it in name order (tests add entries that way), as are entries given to addStrings. An unknown
// key reads as itself.
#pragma once

#include <QHash>
#include <QList>
#include <QPair>
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
// The same entries in file order, repeats kept (a later repeat wins in parseStrings).
QList<QPair<QString, QString>> parseStringsEntries(const QString& text);

}  // namespace Localizable
