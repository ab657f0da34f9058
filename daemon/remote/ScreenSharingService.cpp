#include "ScreenSharingService.h"

#include <fstream>

#include "platform/paths/Paths.h"
#include "framework/process/TaskHelper.h"

using calix::TaskHelper;

namespace hollin {

CommandRunner taskHelperRunner() {
    return [](const std::string& path, const std::vector<std::string>& argv,
              std::chrono::milliseconds deadline) {
        CommandOutcome outcome;
        std::string output;
        ErrorValue error;
        error.code = 0;
        const auto handle =
            TaskHelper::sharedInstance().excuteTaskPath(path, argv, deadline, &output, &error);
        outcome.started = handle.has_value();
        outcome.output = std::move(output);
        if (error.code != 0 || !error.failureReason.empty()) outcome.error = error.failureReason;
        return outcome;
    };
}

ScreenSharingService::ScreenSharingService(std::optional<std::string> unit, CommandRunner runner,
                                           std::function<void(const std::string&)> log, std::string systemctl)
    : runner_(runner ? std::move(runner) : taskHelperRunner()),
      systemctl_(std::move(systemctl)),
      log_(std::move(log)) {
    if (unit && validUnitName(*unit)) unit_ = std::move(unit);
}

bool ScreenSharingService::validUnitName(std::string_view name) {
    constexpr std::string_view suffix = ".service";
    if (name.size() <= suffix.size() || name.size() > 255 || name.front() == '-' ||
        name.substr(name.size() - suffix.size()) != suffix) {
        return false;
    }
    for (const char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == ':' || c == '_' || c == '.' || c == '@' || c == '-';
        if (!ok) return false;
    }
    return true;
}

std::optional<std::string> ScreenSharingService::configuredUnit(const std::string& configFile) {
    const std::string path =
        configFile.empty() ? paths::machineSupportFolder() + "/" + kConfigFileName : configFile;
    std::ifstream in(path);
    std::string line;
    const std::string key = std::string(kUnitKey) + "=";
    std::optional<std::string> unit;
    for (int lines = 0; lines < 1000 && std::getline(in, line); ++lines) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind(key, 0) != 0) continue;
        std::string value = line.substr(key.size());
        unit = validUnitName(value) ? std::optional(value) : std::nullopt;
    }
    return unit;
}

bool ScreenSharingService::change(const char* verb) {
    if (!unit_) {
        if (log_) log_(std::string("[active screen sharing] refused: no ") + kUnitKey + " configured");
        return false;
    }
    const auto outcome = runner_(systemctl_, {verb, "--now", *unit_}, kCommandDeadline);
    // systemctl reports the links it makes on the error stream; success is the unit's state after.
    if (log_) log_("[active screen sharing] res: " + outcome.error + " ");
    if (!outcome.started) return false;
    const bool active = getRemoteServiceState();
    return std::string_view(verb) == "enable" ? active : !active;
}

bool ScreenSharingService::activeRemoteService() {
    return change("enable");
}

bool ScreenSharingService::inactiveRemoteService() {
    return change("disable");
}

bool ScreenSharingService::getRemoteServiceState() {
    if (!unit_) return false;
    const auto outcome = runner_(systemctl_, {"is-active", *unit_}, kCommandDeadline);
    return outcome.started && outcome.output.substr(0, outcome.output.find('\n')) == "active";
}

}  // namespace hollin
