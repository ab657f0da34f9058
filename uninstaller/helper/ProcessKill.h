// Ending processes found by their command line, as a "ps aux | grep ... | xargs kill -9" pipeline
// finds them, but only among programs that lie under the product's root prefix (all of them for
// the real root), and never this process itself.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "joindomain/scaffold/ShellScript.h"

namespace wendle {

// The command line as ps shows it: the arguments joined by blanks.
using CommandLineMatch = std::function<bool(const std::string& commandLine)>;

// grep's plain and -w (whole word: letters, digits and '_' around it do not count) matches.
bool containsText(std::string_view line, std::string_view text);
bool containsWord(std::string_view line, std::string_view word);

// Live processes whose command line matches.
std::vector<pid_t> matchingProcesses(const CommandLineMatch& match);

// Sends SIGKILL to every matching process: status 0 (also when none matched), 1 with a line per
// process that could not be signalled.
helperscaffold::CommandResult killMatching(const CommandLineMatch& match);

}  // namespace wendle
