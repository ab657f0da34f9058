// How the domain-join pair runs programs: by name with the product's tool folder first on the
// search path, with an argument vector (no shell) and secrets on standard input. On top of one
// run sit the three result shapes the operations read: both streams as texts, a script result
// (output, or an error number and message), and a bare output that error text cancels.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

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

// A run read the way a script's shell line is: success when the program exited 0, with its
// output less one trailing line feed and its line feeds turned into carriage returns; failure
// with the exit status as error number and the error text as message.
struct ScriptResult {
    std::optional<std::string> output;  // success only
    std::optional<std::string> errorMessage;
    int errorNumber = 0;
    bool failed() const { return errorNumber != 0; }
    // The error as a dictionary text, as logged.
    std::string errorInfo() const;
};
ScriptResult scriptResultOf(const CommandRun& run);

// The output of a run that wrote nothing to its error stream, else nothing.
std::optional<std::string> outputUnlessError(const CommandRun& run);

// Text helpers for reading command output the way the filters of a shell line would.
std::vector<std::string> splitLines(const std::string& text, char separator = '\n');
// The nth (1-based) blank-separated field of a line; empty when there are fewer.
std::string field(const std::string& line, size_t n);
std::string upper(std::string text);
std::string lower(std::string text);
bool containsNoCase(const std::string& text, const std::string& part);
// "(null)" for nothing, as the log lines show a missing value.
std::string orNull(const std::optional<std::string>& text);

}  // namespace sorrel
