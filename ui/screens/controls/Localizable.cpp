#include "Localizable.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>

namespace Localizable {
namespace {

struct Table {
    QMutex mutex;
    QHash<QString, QString> entries;
    bool loaded = false;
};

Table& table() {
    static Table t;
    return t;
}

// Reads a quoted string starting at text[pos] == '"'; pos ends after the closing quote.
bool readQuoted(const QString& text, qsizetype& pos, QString& out) {
    if (pos >= text.size() || text[pos] != '"') return false;
    ++pos;
    out.clear();
    while (pos < text.size()) {
        const QChar c = text[pos++];
        if (c == '"') return true;
        if (c == '\\' && pos < text.size()) {
            const QChar e = text[pos++];
            out += e == 'n' ? QChar('\n') : e == 't' ? QChar('\t') : e;
        } else {
            out += c;
        }
    }
    return false;
}

void skipSpaceAndComments(const QString& text, qsizetype& pos) {
    while (pos < text.size()) {
        if (text[pos].isSpace()) {
            ++pos;
        } else if (text.mid(pos, 2) == "//") {
            const qsizetype end = text.indexOf('\n', pos);
            pos = end < 0 ? text.size() : end + 1;
        } else if (text.mid(pos, 2) == "/*") {
            const qsizetype end = text.indexOf("*/", pos + 2);
            pos = end < 0 ? text.size() : end + 2;
        } else {
            return;
        }
    }
}

bool readFile(const QString& path, QHash<QString, QString>& into) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    // A strings table is small; a larger file is not one.
    if (file.size() > (4 << 20)) return false;
    const QHash<QString, QString> parsed = parseStrings(QString::fromUtf8(file.readAll()));
    for (auto it = parsed.cbegin(); it != parsed.cend(); ++it) into.insert(it.key(), it.value());
    return true;
}

void ensureLoaded(Table& t) {
    if (t.loaded) return;
    t.loaded = true;
    QHash<QString, QString> base;
    readFile(QStringLiteral(":/hux/Localizable.strings"), base);
    const QDir more(QStringLiteral(":/hux/strings"));
    for (const QString& name : more.entryList(QDir::Files, QDir::Name)) readFile(more.filePath(name), base);
    // Entries added before the first lookup win over the built-in table.
    for (auto it = t.entries.cbegin(); it != t.entries.cend(); ++it) base.insert(it.key(), it.value());
    t.entries = std::move(base);
}

}  // namespace

QHash<QString, QString> parseStrings(const QString& text) {
    QHash<QString, QString> out;
    for (const auto& [key, value] : parseStringsEntries(text)) out.insert(key, value);
    return out;
}

QList<QPair<QString, QString>> parseStringsEntries(const QString& text) {
    QList<QPair<QString, QString>> out;
    qsizetype pos = 0;
    while (true) {
        skipSpaceAndComments(text, pos);
        if (pos >= text.size()) break;
        QString key;
        QString value;
        if (!readQuoted(text, pos, key)) break;
        skipSpaceAndComments(text, pos);
        if (pos >= text.size() || text[pos] != '=') break;
        ++pos;
        skipSpaceAndComments(text, pos);
        if (!readQuoted(text, pos, value)) break;
        skipSpaceAndComments(text, pos);
        if (pos < text.size() && text[pos] == ';') ++pos;
        out.append({key, value});
    }
    return out;
}

QString localizedString(const QString& key) {
    Table& t = table();
    QMutexLocker lock(&t.mutex);
    ensureLoaded(t);
    const auto it = t.entries.constFind(key);
    return it == t.entries.cend() ? key : it.value();
}

void addStrings(const QHash<QString, QString>& entries) {
    Table& t = table();
    QMutexLocker lock(&t.mutex);
    for (auto it = entries.cbegin(); it != entries.cend(); ++it) t.entries.insert(it.key(), it.value());
}

bool addStringsFile(const QString& path) {
    QHash<QString, QString> entries;
    if (!readFile(path, entries)) return false;
    addStrings(entries);
    return true;
}

}  // namespace Localizable
