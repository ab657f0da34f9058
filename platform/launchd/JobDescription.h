// A job of our launchd: what a job property list says about the program to run and how to
// keep it running.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/archive/Value.h"

namespace launchd {

struct JobDescription {
    std::string label;
    std::string program;  // empty: ProgramArguments[0], looked up on PATH
    std::vector<std::string> programArguments;
    bool runAtLoad = false;
    bool keepAlive = false;
    bool disabled = false;
    std::string standardOutPath;    // empty: /dev/null
    std::string standardErrorPath;  // empty: /dev/null
    std::string workingDirectory;   // empty: the filesystem root
    std::map<std::string, std::string> environmentVariables;
    // MachServices: the service names the supervisor listens on for the job, which starts it on
    // demand and hands the sockets over. Sorted; the order of the handed-over descriptors.
    std::vector<std::string> machServices;
    // UserName: the user the job runs as (empty: the supervisor's). Its service names are that
    // user's, in the user's runtime folder, so a user's job never holds or shadows a root name.
    std::string userName;

    // The file the job was loaded from.
    std::string path;

    // The executable and the argument vector as they are run.
    const std::string& executable() const { return program.empty() ? programArguments.front() : program; }
    std::vector<std::string> argv() const;

    bool operator==(const JobDescription&) const = default;
};

// Reads the job keys of a property list dictionary. Unknown keys are ignored; a missing Label,
// no program, or a key of the wrong type fails with a reason in *error.
std::optional<JobDescription> jobDescriptionFromPlist(const archive::Value& plist,
                                                      std::string* error = nullptr);

// Reads a job property list file (XML or binary, at most 1 MiB). The file must be a regular file
// (a symbolic link is not followed) owned by root or by the supervisor's own user and writable by
// nobody else, since its program runs with the supervisor's rights.
std::optional<JobDescription> readJobFile(const std::string& path, std::string* error = nullptr);

}  // namespace launchd
