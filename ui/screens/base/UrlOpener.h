// The one way the app hands an address to the browser. Addresses come from the server (office
// tools, download links) or from pages the app shows, so only web addresses leave the app: http
// and https as they stand, a bare host ("mail.example.com/inbox") with "https://" in front, and
// anything else (file:, smb:, javascript:, a desktop file, ...) is refused and logged.
#pragma once

#include <QString>
#include <QUrl>
#include <functional>
#include <optional>

class QTextBrowser;

namespace UrlOpener {

// The address the browser would get, or nothing when the text is no web address.
std::optional<QUrl> browserUrl(const QString& text);

// Opens the text's web address; false (with a log line) when it was refused or could not be
// opened.
bool open(const QString& text);
bool open(const QUrl& url);

// Makes a page's links follow the rule: links within the app's own pages (relative, "#anchor",
// qrc:) stay in the browser, every other link goes through open().
void routeLinks(QTextBrowser* browser);

// Replaces what hands the address on (QDesktopServices::openUrl by default); an empty function
// puts the default back. For tests.
void setOpenFunction(std::function<bool(const QUrl&)> open);

}  // namespace UrlOpener
