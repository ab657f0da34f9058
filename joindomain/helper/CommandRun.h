// How the domain-join pair runs programs: by name with the product's tool folder first on the
// search path, with an argument vector (no shell) and secrets on standard input. On top of one
// run sit the result shapes the operations read: both streams as texts, the scaffold's script
// outcome (output, or an error number and information), and a bare output that error text cancels.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "joindomain/scaffold/ShellScript.h"

namespace sorrel {

struct CommandRun {
    bool started = false;
    int status = -1;  // exit status, or minus the signal; -1 when it did not start
    bool timedOut = false;
    std::string output;
    std::string error;
};

// Each kind of run ends (process group TERM, then KILL) after its deadline.
inline constexpr std::chrono::milliseconds kCommandDeadline{120'000};
inline constexpr std::chrono::milliseconds kShortCommandDeadline{3'000};

// Runs program (a name looked up with the tool folder first, or a path) with args; input, when
// not empty, is written to its standard input, which is then closed.
CommandRun runCommand(const std::string& program, const std::vector<std::string>& args,
                      const std::string& input = {}, std::chrono::milliseconds deadline = kCommandDeadline);

// Both streams, each nothing when empty.
struct CommandTexts {
    std::optional<std::string> output;
    std::optional<std::string> error;
};
CommandTexts textsOf(const CommandRun& run);

// A run as the scaffold's script outcome reads it (status 127: not started, 124: timed out).
helperscaffold::CommandResult commandResult(const CommandRun& run);
helperscaffold::ScriptOutcome scriptOutcomeOf(const CommandRun& run);
// The error information of a failed script as a log line shows it.
std::string errorInfoText(const helperscaffold::ScriptOutcome& outcome);

// The output of a run that wrote nothing to its error stream, else nothing.
std::optional<std::string> outputUnlessError(const CommandRun& run);

// Text helpers for reading command output the way the filters of a shell line would.
std::vector<std::string> splitLines(const std::string& text, char separator = '\n');
// The nth (1-based) blank-separated field of a line; empty when there are fewer.
std::string field(const std::string& line, size_t n);
std::string upper(std::string text);
std::string lower(std::string text);
bool containsNoCase(const std::string& text, const std::string& part);

}  // namespace sorrel
