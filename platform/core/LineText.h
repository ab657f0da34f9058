// The one check for a value that root writes into a line-based file (connection keyfiles,
// Kerberos and directory configuration, host names, job files and their records): such a value
// must stay one value on one line whatever the file's reader does with escapes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace linetext {

// Whether text is valid UTF-8 free of control characters: no C0 control (tab and line breaks
// included), no DEL, no C1 control and no Unicode line or paragraph separator. Empty text passes.
bool lineSafe(std::string_view text);

// The lines of a text file without their line feeds; a last line without one counts too.
std::vector<std::string> splitLines(const std::string& text);

}  // namespace linetext
