// Shell work of the privileged helpers without a shell: a script is a list of commands (argument
// vectors, or steps done in-process) run one after another as "a; b; c" runs them, and its outcome
// is read as a "do shell script" run is: the output text on success, or an error number (the last
// command's exit status) with error information.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/archive/Value.h"

namespace helperscaffold {

// What one command leaves: its exit status and its two streams.
struct CommandResult {
    int status = 0;
    std::string output;
    std::string error;
};

// Runs a program with an argument vector (argv[0] is the program: a name is looked up on a search
// path with the product's tool folder first) and collects both streams. A program that cannot be
// started gives status 127, one still running at the deadline is ended and gives 124.
CommandResult runCommand(const std::vector<std::string>& argv,
                         std::chrono::milliseconds deadline = std::chrono::minutes(2));

class ShellScript {
  public:
    using Step = std::function<CommandResult()>;

    ShellScript() = default;
    // A script of one command.
    explicit ShellScript(std::vector<std::string> argv) { command(std::move(argv)); }

    ShellScript& command(std::vector<std::string> argv);
    ShellScript& step(Step step);

    // Runs every step in order, whatever the earlier ones gave: the status of the last, the
    // streams of all.
    CommandResult run() const;

  private:
    std::vector<Step> steps_;
};

// Keys of the error information.
inline constexpr const char* kScriptErrorNumber = "NSAppleScriptErrorNumber";
inline constexpr const char* kScriptErrorMessage = "NSAppleScriptErrorMessage";
inline constexpr const char* kScriptErrorBriefMessage = "NSAppleScriptErrorBriefMessage";

// A script's outcome as its caller reads it: on a non-zero status no output, the error
// information and the status as error number; otherwise the output (one final newline dropped),
// no information and 0.
struct ScriptOutcome {
    std::optional<std::string> output;
    archive::Dictionary errorInfo;
    int errorNumber = 0;
};
ScriptOutcome scriptOutcome(const CommandResult& result);

// A value as a log line shows it: texts as they are, numbers in decimal, dictionaries as
// "{key = value; ...}", nothing as "(null)".
std::string describe(const archive::Value& value);
std::string describe(const std::optional<std::string>& text);

}  // namespace helperscaffold
