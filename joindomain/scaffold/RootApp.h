// The start of an app that runs as root on a user's behalf (pkexec runs it again as root): it
// takes nothing from its caller but what an allow-list keeps of the environment, and it acts for
// the user who asked, never for root's own home.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace helperscaffold {

// The account an app acts for: its folders are the ones the app reads and writes for the user.
struct ActingUser {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string name;
    std::string home;  // from the password database, under the product's root prefix
};

// What a root app keeps of the environment it was given ("NAME=value" entries), rebuilt from an
// allow-list: PATH is a fixed safe value, HOME/USER/LOGNAME are root's own, the display's
// variables and the locale are kept when their values are plain, QT_QPA_PLATFORM only for a
// known platform, XDG_RUNTIME_DIR only as the asking user's own /run/user/<uid>, RAVAVIZA_ROOT
// only for a folder that root alone can change. Everything else is dropped.
std::vector<std::string> rootAppEnvironment(const std::vector<std::string>& given);

// Whether path is a folder that only root can change: every folder from "/" down is root's and
// not writable by others (a sticky folder such as /tmp may be on the way), none of them a link.
bool rootOnlyFolder(const std::string& path);

// The user a root app acts for, from PKEXEC_UID (nothing: root started it itself, and it acts
// for root's own account). A user other than root is taken only when it is the user signed in at
// the screen; otherwise *refusal says why and the answer is nothing.
std::optional<ActingUser> chooseActingUser(const std::optional<std::string>& pkexecUid, std::string* refusal);

// The first thing a root app does: replaces the process environment with rootAppEnvironment()
// and picks the acting user. False (after a line in the system log) when the app must exit.
// Does nothing and answers true for a process that is not root.
bool startRootApp();

// The user the app acts for: the one startRootApp picked, else the process's own account.
ActingUser actingUser();
void setActingUser(const ActingUser& user);

// The account of a user id, with its home under the product's root prefix; nothing when unknown.
std::optional<ActingUser> accountOf(uid_t uid);

}  // namespace helperscaffold
