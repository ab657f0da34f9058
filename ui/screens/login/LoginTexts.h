// The login screens' texts: their entries of the app's localisation table, and the text of a
// reply's message.
#pragma once

#include <QString>
#include <functional>

#include "LoginReplies.h"

namespace LoginTexts {

// Reads the app's table ahead of the first reply (once per process).
void load();
// A key looked up in the table, a literal as it is.
QString text(const LoginReplies::Message& message);
QString localized(const char* key);

// The app delegate's refresh of its status menu after a sign-in; the app sets it at start.
void setItemsHiddenMenuHandler(std::function<void()> handler);
// Runs the handler when one is set (GUI thread).
void setItemsHiddenMenu();

}  // namespace LoginTexts
