#include "CommandRun.h"

#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

#include "platform/paths/Paths.h"
#include "platform/spawn/Spawn.h"
#include "platform/spawn/ToolEnvironment.h"

namespace sorrel {

namespace {

constexpr size_t kMaxStreamBytes = 4u << 20;

}  // namespace

CommandRun runCommand(const std::string& program, const std::vector<std::string>& args,
                      const std::string& input, std::chrono::milliseconds deadline) {
    spawn::Options options;
    options.program = program;
    options.argv.push_back(program);
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.environment = spawn::toolEnvironment();
    options.grouping = spawn::Grouping::OwnGroup;
    options.input = input.empty() ? spawn::Stream::null() : spawn::Stream::pipe();
    spawn::RunLimits limits;
    limits.input = input;
    limits.deadline = deadline;
    limits.maxStreamBytes = kMaxStreamBytes;
    spawn::RunResult result = spawn::run(std::move(options), limits);

    CommandRun run;
    if (!result.started()) {
        run.error = std::string(program) + ": " + std::strerror(result.spawnError);
        run.status = 127;
        return run;
    }
    run.started = true;
    run.timedOut = result.timedOut;
    run.output = std::move(result.output);
    run.error = std::move(result.error);
    if (result.timedOut) {
        if (run.error.empty()) run.error = program + ": timed out";
        run.status = -SIGTERM;
    } else if (result.waitStatus) {
        run.status = spawn::exitStatusFromWait(*result.waitStatus);
    }
    return run;
}

CommandTexts textsOf(const CommandRun& run) {
    CommandTexts texts;
    if (!run.output.empty()) texts.output = run.output;
    if (!run.error.empty()) texts.error = run.error;
    return texts;
}

helperscaffold::CommandResult commandResult(const CommandRun& run) {
    helperscaffold::CommandResult result;
    result.output = run.output;
    result.error = run.error;
    if (!run.started) {
        result.status = 127;
    } else if (run.timedOut) {
        result.status = 124;
    } else {
        result.status = run.status < 0 ? 128 - run.status : run.status;
    }
    return result;
}

helperscaffold::ScriptOutcome scriptOutcomeOf(const CommandRun& run) {
    return helperscaffold::scriptOutcome(commandResult(run));
}

std::string errorInfoText(const helperscaffold::ScriptOutcome& outcome) {
    return helperscaffold::describe(archive::Value(outcome.errorInfo));
}

std::optional<std::string> outputUnlessError(const CommandRun& run) {
    if (!run.started || !run.error.empty() || run.output.empty()) return std::nullopt;
    return run.output;
}

std::vector<std::string> splitLines(const std::string& text, char separator) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(separator, start);
        if (end == std::string::npos) end = text.size();
        if (end > start || end < text.size()) lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string field(const std::string& line, size_t n) {
    size_t index = 0;
    size_t pos = 0;
    while (pos < line.size()) {
        while (pos < line.size() && std::isspace(static_cast<unsigned char>(line[pos]))) ++pos;
        if (pos >= line.size()) break;
        size_t end = pos;
        while (end < line.size() && !std::isspace(static_cast<unsigned char>(line[end]))) ++end;
        if (++index == n) return line.substr(pos, end - pos);
        pos = end;
    }
    return {};
}

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool containsNoCase(const std::string& text, const std::string& part) {
    return lower(text).find(lower(part)) != std::string::npos;
}

}  // namespace sorrel
