// Removing the product's folders as root without following links: a folder below a starting
// folder is reached one level at a time with O_NOFOLLOW, and a tree is removed entry by entry
// through its parent's descriptor (unlinkat), so a link placed anywhere in it, or in the levels
// above it, is removed or refused but never followed.
#pragma once

#include <string>
#include <vector>

#include "joindomain/scaffold/ShellScript.h"

namespace wendle {

// A tree to remove: the folder opened by path (links in it followed: it is the machine's or the
// home folder the password database names), then levels below it, each a plain folder, and the
// name of the entry to remove in the last of them.
struct TreeLocation {
    std::string start;
    std::vector<std::string> levels;
    std::string name;

    std::string path() const;
};

// A location for an absolute path whose start is its parent folder.
TreeLocation locationOf(const std::string& absolutePath);

// True when every level is a plain folder and the entry is there (a link counts as there).
bool treeExists(const TreeLocation& location);

// Removes the entry and all below it, as "rm -rf" does: status 0 when it is gone (or was not
// there), 1 with "rm: cannot remove '<path>': <reason>" lines otherwise.
helperscaffold::CommandResult removeTree(const TreeLocation& location);

// Removes the entry when it is an empty folder, as a removal of its tree that was cut short may
// leave it; anything else there stays. True when it was removed.
bool removeEmptyFolder(const TreeLocation& location);

}  // namespace wendle
