// launchctl load [-w] [-F] [-u USER] PATH... | unload [-w] PATH... | list [LABEL]
// The client of our launchd. Exit status 0 on success, 1 on failure, 64 on a usage error,
// 113 when `list LABEL` names no loaded job.
#include <cstdio>
#include <string>
#include <vector>

#include "Client.h"
#include "platform/tools/ToolMain.h"

namespace {

constexpr int kUsage = 64;
constexpr int kNoSuchService = 113;

constexpr const char* kUsageText =
    "usage: launchctl load [-w] [-F] [-u USER] PATH...\n"
    "       launchctl unload [-w] PATH...\n"
    "       launchctl list [LABEL]\n";

int usage() {
    std::fputs(kUsageText, stderr);
    return kUsage;
}

// Splits "-w", "-F", combined forms such as "-wF" and "-u USER" off the front of args.
bool parseFlags(const std::vector<std::string>& args, const std::string& allowed, launchd::LoadOptions& flags,
                std::string& userName, std::vector<std::string>& rest) {
    size_t i = 0;
    for (; i < args.size() && args[i].size() > 1 && args[i][0] == '-'; ++i) {
        if (args[i] == "--") {
            ++i;
            break;
        }
        if (args[i] == "-u" && allowed.find('u') != std::string::npos) {
            if (i + 1 >= args.size() || args[i + 1].empty()) return false;
            userName = args[++i];
            continue;
        }
        for (char c : args[i].substr(1)) {
            if (c == 'u' || allowed.find(c) == std::string::npos) return false;
            if (c == 'w') flags.write = true;
            if (c == 'F') flags.force = true;
        }
    }
    rest.assign(args.begin() + static_cast<long>(i), args.end());
    return !rest.empty();
}

void printJob(const launchd::JobStatus& job) {
    std::printf("{\n");
    std::printf("\t\"Label\" = \"%s\";\n", job.label.c_str());
    std::printf("\t\"LastExitStatus\" = %d;\n", job.lastExitStatus);
    if (job.pid > 0) std::printf("\t\"PID\" = %d;\n", static_cast<int>(job.pid));
    std::printf("\t\"Program\" = \"%s\";\n", job.program.c_str());
    std::printf("\t\"ProgramArguments\" = (\n");
    for (const std::string& a : job.programArguments) std::printf("\t\t\"%s\";\n", a.c_str());
    std::printf("\t);\n};\n");
}

int report(const std::string& subject, const launchd::Reply& reply) {
    if (!reply.message.empty()) std::fprintf(stderr, "%s: %s\n", subject.c_str(), reply.message.c_str());
    return reply.ok() ? 0 : 1;
}

int list(const std::vector<std::string>& args) {
    if (args.size() > 1) return usage();
    if (args.size() == 1) {
        launchd::Reply reply = launchd::client::list(args[0]);
        if (reply.status == launchd::ReplyStatus::NotFound) {
            std::fprintf(stderr, "%s\n", reply.message.c_str());
            return kNoSuchService;
        }
        if (!reply.ok() || reply.jobs.empty()) return report("launchctl", reply);
        printJob(reply.jobs.front());
        return 0;
    }
    launchd::Reply reply = launchd::client::list();
    if (!reply.ok()) return report("launchctl", reply);
    std::printf("PID\tStatus\tLabel\n");
    for (const launchd::JobStatus& job : reply.jobs) {
        std::string pid = job.pid > 0 ? std::to_string(job.pid) : "-";
        std::printf("%s\t%d\t%s\n", pid.c_str(), job.lastExitStatus, job.label.c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (auto answered = tooling::answerHelpOrVersion(argc, argv, "launchctl", kUsageText)) return *answered;
    if (argc < 2) return usage();
    std::string command = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "list") return list(args);

    launchd::LoadOptions flags;
    std::string userName;
    std::vector<std::string> files;
    if (command == "load") {
        if (!parseFlags(args, "wFu", flags, userName, files)) return usage();
    } else if (command == "unload") {
        if (!parseFlags(args, "w", flags, userName, files)) return usage();
    } else {
        return usage();
    }
    int status = 0;
    for (const std::string& file : files) {
        launchd::Reply reply =
            command == "load" ? launchd::client::load(file, flags, userName) : launchd::client::unload(file);
        if (report(file, reply) != 0) status = 1;
    }
    std::fflush(stdout);
    return status;
}
