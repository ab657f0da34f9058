// The machine's screen-sharing service: a VNC server's systemd unit, switched on and off with
// systemctl. Nothing is switched on unless the administrator names the unit in the channel's
// configuration file ("ScreenSharingUnit=<unit>.service" in RemoteSession.conf in the machine
// support folder); without it every change is refused.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hollin {

// What a command run gave: started at all, its output and its error-stream text.
struct CommandOutcome {
    bool started = false;
    std::string output;
    std::string error;
};

// Runs a program with an argument vector and a deadline. The default is the shared TaskHelper.
using CommandRunner = std::function<CommandOutcome(
    const std::string& path, const std::vector<std::string>& argv, std::chrono::milliseconds deadline)>;
CommandRunner taskHelperRunner();

class ScreenSharingService {
  public:
    static constexpr const char* kConfigFileName = "RemoteSession.conf";
    static constexpr const char* kUnitKey = "ScreenSharingUnit";
    static constexpr const char* kSystemctl = "/usr/bin/systemctl";
    static constexpr std::chrono::milliseconds kCommandDeadline{30'000};

    // unit: the systemd unit to drive; nothing (or a name that fails validUnitName) disables the service.
    ScreenSharingService(std::optional<std::string> unit, CommandRunner runner,
                         std::function<void(const std::string&)> log, std::string systemctl = kSystemctl);

    // Reads the unit from the configuration file (default: the one in the machine support folder).
    static std::optional<std::string> configuredUnit(const std::string& configFile = "");
    // A plain unit name: letters, digits and ":_.@-", not starting with "-", ending in ".service".
    static bool validUnitName(std::string_view name);

    bool configured() const { return unit_.has_value(); }
    // Enables and starts the unit; false when refused (not configured) or the command failed.
    bool activeRemoteService();
    // Disables and stops it; false as above.
    bool inactiveRemoteService();
    // Whether the unit is active now.
    bool getRemoteServiceState();

  private:
    bool change(const char* verb);

    std::optional<std::string> unit_;
    CommandRunner runner_;
    std::string systemctl_;
    std::function<void(const std::string&)> log_;
};

}  // namespace hollin
