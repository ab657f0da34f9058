// Who may read the product's log files. Root's logs say what the machine does and may quote the
// server: they are 0640 with the group adm, as the system's own logs are (root's group where adm
// does not exist), so administrators read them and other users do not. A user's own logs are
// 0600 in that user's folder.
#pragma once

#include <sys/types.h>

#include <string>

namespace logfiles {

enum class Readers {
    Administrators,  // 0640, group adm when root writes it
    OwnerOnly,       // 0600
};

mode_t modeFor(Readers readers);
// The group of root's logs: adm's id, or root's group when there is no adm.
gid_t administratorGroup();

// Opens a log file for appending (creating it with its mode when missing, emptying it when
// truncate), never through a link, and gives it the mode and group of its readers, so a file
// left wider by an earlier version is narrowed. -1 with errno set on failure.
int openForAppend(const std::string& path, Readers readers, bool truncate = false);

// Gives an open log file the mode and group of its readers. The group is set only when this
// process runs as root; other processes keep their own.
void restrict(int fd, Readers readers);

}  // namespace logfiles
