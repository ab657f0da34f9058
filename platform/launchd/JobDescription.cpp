#include "JobDescription.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/archive/Plist.h"
#include "platform/core/LineText.h"

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
        !readString(*d, "WorkingDirectory", job.workingDirectory, error) ||
        !readString(*d, "UserName", job.userName, error)) {
        return std::nullopt;
    }
    if (job.label.empty()) {
        fail(error, "no Label");
        return std::nullopt;
    }
    // The label is a line of the supervisor's job records.
    if (!linetext::lineSafe(job.label)) {
        fail(error, "Label must be one line of text");
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
    if (const archive::Value* services = plist.find("MachServices")) {
        const archive::Dictionary* names = services->dictionary();
        if (!names) {
            fail(error, "MachServices must be a dictionary");
            return std::nullopt;
        }
        for (const auto& [name, value] : *names) {
            // true, or a dictionary of per-name options, registers the name; false leaves it out.
            if (name.empty() || !(value.isBool() || value.dictionary())) {
                fail(error, "MachServices must map service names to true");
                return std::nullopt;
            }
            if (!value.isBool() || *value.boolean()) job.machServices.push_back(name);
        }
    }
    return job;
}

std::optional<JobDescription> readJobFile(const std::string& path, std::string* error) {
    constexpr size_t kMaxBytes = 1u << 20;
    // The checks are made on the opened file itself, so the file cannot be swapped between a
    // check and the read.
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        fail(error, errno == ELOOP ? "job file is a symbolic link" : std::strerror(errno));
        return std::nullopt;
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        fail(error, std::strerror(errno));
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode)) {
        fail(error, "job file is not a regular file");
        return std::nullopt;
    }
    if (st.st_uid != 0 && st.st_uid != ::geteuid()) {
        fail(error, "job file is not owned by root (owner uid " + std::to_string(st.st_uid) + ")");
        return std::nullopt;
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        fail(error, "job file is writable by group or others");
        return std::nullopt;
    }
    if (static_cast<uint64_t>(st.st_size) > kMaxBytes) {
        fail(error, "Invalid property list: file too large");
        return std::nullopt;
    }
    std::vector<uint8_t> bytes;
    uint8_t buffer[64 * 1024];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            fail(error, std::strerror(errno));
            return std::nullopt;
        }
        if (n == 0) break;
        bytes.insert(bytes.end(), buffer, buffer + n);
        if (bytes.size() > kMaxBytes) {
            fail(error, "Invalid property list: file too large");
            return std::nullopt;
        }
    }
    std::string reason;
    std::optional<archive::Value> plist = archive::parsePlist(bytes, &reason);
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
