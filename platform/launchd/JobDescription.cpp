#include "launchd/JobDescription.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "archive/Plist.h"

namespace launchd {

namespace {

bool fail(std::string* error, std::string text) {
    if (error) *error = std::move(text);
    return false;
}

bool readString(const archive::Dictionary& d, const char* key, std::string& out, std::string* error) {
    auto it = d.find(key);
    if (it == d.end()) return true;
    const std::string* s = it->second.string();
    if (!s) return fail(error, std::string(key) + " must be a string");
    out = *s;
    return true;
}

bool readBool(const archive::Dictionary& d, const char* key, bool& out, std::string* error) {
    auto it = d.find(key);
    if (it == d.end()) return true;
    if (!it->second.isBool()) return fail(error, std::string(key) + " must be a boolean");
    out = *it->second.boolean();
    return true;
}

}  // namespace

std::vector<std::string> JobDescription::argv() const {
    if (programArguments.empty()) return {program};
    return programArguments;
}

std::optional<JobDescription> jobDescriptionFromPlist(const archive::Value& plist, std::string* error) {
    const archive::Dictionary* d = plist.dictionary();
    if (!d) {
        fail(error, "the property list is not a dictionary");
        return std::nullopt;
    }
    JobDescription job;
    if (!readString(*d, "Label", job.label, error) || !readString(*d, "Program", job.program, error) ||
        !readBool(*d, "RunAtLoad", job.runAtLoad, error) ||
        !readBool(*d, "KeepAlive", job.keepAlive, error) || !readBool(*d, "Disabled", job.disabled, error) ||
        !readString(*d, "StandardOutPath", job.standardOutPath, error) ||
        !readString(*d, "StandardErrorPath", job.standardErrorPath, error) ||
        !readString(*d, "WorkingDirectory", job.workingDirectory, error)) {
        return std::nullopt;
    }
    if (job.label.empty()) {
        fail(error, "no Label");
        return std::nullopt;
    }
    if (const archive::Value* args = plist.find("ProgramArguments")) {
        const archive::Array* a = args->array();
        if (!a) {
            fail(error, "ProgramArguments must be an array of strings");
            return std::nullopt;
        }
        for (const archive::Value& v : *a) {
            if (!v.string()) {
                fail(error, "ProgramArguments must be an array of strings");
                return std::nullopt;
            }
            job.programArguments.push_back(*v.string());
        }
    }
    if (job.program.empty() && (job.programArguments.empty() || job.programArguments.front().empty())) {
        fail(error, "neither Program nor ProgramArguments names a program");
        return std::nullopt;
    }
    if (const archive::Value* env = plist.find("EnvironmentVariables")) {
        const archive::Dictionary* e = env->dictionary();
        if (!e) {
            fail(error, "EnvironmentVariables must be a dictionary of strings");
            return std::nullopt;
        }
        for (const auto& [name, value] : *e) {
            // A name with '=' would smuggle a second variable into the environment block.
            if (!value.string() || name.empty() || name.find('=') != std::string::npos) {
                fail(error, "EnvironmentVariables must be a dictionary of strings");
                return std::nullopt;
            }
            job.environmentVariables[name] = *value.string();
        }
    }
    return job;
}

std::optional<JobDescription> readJobFile(const std::string& path, std::string* error) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        fail(error, std::strerror(errno));
        return std::nullopt;
    }
    std::string reason;
    std::optional<archive::Value> plist = archive::readPlistFile(path, &reason, 1u << 20);
    if (!plist) {
        fail(error, "Invalid property list: " + reason);
        return std::nullopt;
    }
    std::optional<JobDescription> job = jobDescriptionFromPlist(*plist, &reason);
    if (!job) {
        fail(error, "Invalid job: " + reason);
        return std::nullopt;
    }
    job->path = path;
    return job;
}

}  // namespace launchd
