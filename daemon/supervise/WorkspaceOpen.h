// Opening the UI app: its executable started as the user signed in at the machine's screen, in
// that user's graphical session (display, runtime folder and session bus of logind's active
// session), detached from the caller. Root never runs the app for itself.
#pragma once

#include <string>

namespace supervise {

// The UI app was started. False, with the reason in *why, when the bundle is missing, nobody but
// root is signed in at the screen, or the program could not be started.
bool openUiApp(std::string* why = nullptr);

}  // namespace supervise
