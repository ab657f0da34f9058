// launchd [--throttle SECONDS] [--exit-timeout SECONDS] [--no-boot-jobs]
// The job supervisor. RAVAVIZA_LAUNCHD_THROTTLE and RAVAVIZA_LAUNCHD_EXIT_TIMEOUT set the same
// values as the options (the options win).
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "Service.h"
#include "platform/tools/ToolMain.h"

namespace {

std::optional<double> seconds(const char* text, double max) {
    if (!text || !*text) return std::nullopt;
    char* end = nullptr;
    double v = std::strtod(text, &end);
    if (*end != '\0' || !(v >= 0.0) || v > max) return std::nullopt;
    return v;
}

constexpr const char* kUsage =
    "usage: launchd [--throttle SECONDS] [--exit-timeout SECONDS] [--no-boot-jobs]\n";

int usage() {
    std::fputs(kUsage, stderr);
    return 64;
}

}  // namespace

int main(int argc, char** argv) {
    if (auto answered = tooling::answerHelpOrVersion(argc, argv, "launchd", kUsage)) return *answered;
    // Bounds that keep launchctl's reply deadlines meaningful.
    constexpr double kMaxThrottle = 3600.0;
    constexpr double kMaxExitTimeout = 30.0;

    launchd::ServiceOptions options;
    if (const char* env = std::getenv("RAVAVIZA_LAUNCHD_THROTTLE")) {
        if (auto v = seconds(env, kMaxThrottle)) options.supervisor.throttleSeconds = *v;
    }
    if (const char* env = std::getenv("RAVAVIZA_LAUNCHD_EXIT_TIMEOUT")) {
        if (auto v = seconds(env, kMaxExitTimeout)) options.supervisor.exitTimeoutSeconds = *v;
    }
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--no-boot-jobs") {
            options.loadBootJobs = false;
        } else if ((arg == "--throttle" || arg == "--exit-timeout") && i + 1 < argc) {
            auto v = seconds(argv[++i], arg == "--throttle" ? kMaxThrottle : kMaxExitTimeout);
            if (!v) return usage();
            (arg == "--throttle" ? options.supervisor.throttleSeconds
                                 : options.supervisor.exitTimeoutSeconds) = *v;
        } else {
            return usage();
        }
    }
    return launchd::runService(options);
}
