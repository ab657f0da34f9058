#include "ShellScript.h"

#include <cstring>
#include <string_view>

#include "platform/paths/Paths.h"
#include "platform/spawn/Spawn.h"
#include "platform/spawn/ToolEnvironment.h"

namespace helperscaffold {

namespace {

constexpr size_t kMaxStreamBytes = 4u << 20;

}  // namespace

CommandResult runCommand(const std::vector<std::string>& argv, std::chrono::milliseconds deadline) {
    CommandResult result;
    if (argv.empty()) return result;
    spawn::Options options;
    options.program = argv.front();
    options.argv = argv;
    options.environment = spawn::toolEnvironment();
    options.grouping = spawn::Grouping::OwnGroup;
    spawn::RunLimits limits;
    limits.deadline = deadline;
    limits.maxStreamBytes = kMaxStreamBytes;
    spawn::RunResult run = spawn::run(std::move(options), limits);
    if (!run.started()) {
        result.status = 127;
        result.error = argv.front() + ": " + std::strerror(run.spawnError) + "\n";
        return result;
    }
    result.output = std::move(run.output);
    result.error = std::move(run.error);
    if (run.timedOut) {
        result.status = 124;
        result.error += argv.front() + ": timed out\n";
    } else if (run.waitStatus) {
        int status = spawn::exitStatusFromWait(*run.waitStatus);
        result.status = status < 0 ? 128 - status : status;
    } else {
        result.status = 1;
    }
    return result;
}

ShellScript& ShellScript::command(std::vector<std::string> argv) {
    steps_.push_back([argv = std::move(argv)] { return runCommand(argv); });
    return *this;
}

ShellScript& ShellScript::step(Step step) {
    steps_.push_back(std::move(step));
    return *this;
}

CommandResult ShellScript::run() const {
    CommandResult all;
    for (const Step& step : steps_) {
        CommandResult one = step();
        all.status = one.status;
        all.output += one.output;
        all.error += one.error;
    }
    return all;
}

ScriptOutcome scriptOutcome(const CommandResult& result) {
    ScriptOutcome outcome;
    if (result.status != 0) {
        std::string message = result.error;
        while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
        if (message.empty()) message = "The command exited with a non-zero status.";
        outcome.errorInfo = {{kScriptErrorNumber, int64_t{result.status}},
                             {kScriptErrorMessage, message},
                             {kScriptErrorBriefMessage, message}};
        outcome.errorNumber = result.status;
        return outcome;
    }
    std::string output = result.output;
    if (!output.empty() && output.back() == '\n') output.pop_back();
    outcome.output = std::move(output);
    return outcome;
}

std::string describe(const archive::Value& value) {
    if (const std::string* s = value.string()) return *s;
    if (value.isBool()) return *value.boolean() ? "1" : "0";
    if (value.isInteger()) return std::to_string(*value.integer());
    if (value.isReal()) return std::to_string(*value.real());
    if (const archive::Dictionary* d = value.dictionary()) {
        std::string text = "{";
        for (const auto& entry : *d) text += entry.first + " = " + describe(entry.second) + "; ";
        if (text.size() > 1) text.pop_back();
        return text + "}";
    }
    if (const archive::Array* a = value.array()) {
        std::string text = "(";
        for (size_t i = 0; i < a->size(); ++i) text += (i ? ", " : "") + describe((*a)[i]);
        return text + ")";
    }
    return "(null)";
}

std::string describe(const std::optional<std::string>& text) {
    return text ? *text : "(null)";
}

}  // namespace helperscaffold
