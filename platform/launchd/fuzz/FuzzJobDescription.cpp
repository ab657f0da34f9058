// Feeds arbitrary bytes to the job-file reader: the property-list parser, then the job keys.
// A job that is read must be runnable as described, and must read the same once written back.
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/archive/Plist.h"
#include "platform/launchd/JobDescription.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;  // readJobFile's own cap
    std::optional<archive::Value> plist = archive::parsePlist(std::span<const uint8_t>(data, size));
    if (!plist) return 0;
    std::string error;
    std::optional<launchd::JobDescription> job = launchd::jobDescriptionFromPlist(*plist, &error);
    if (!job) {
        if (error.empty()) __builtin_trap();  // a refusal always says why
        return 0;
    }
    if (job->label.empty() || job->executable().empty() || job->argv().empty()) __builtin_trap();
    for (const auto& [name, value] : job->environmentVariables) {
        if (name.empty() || name.find('=') != std::string::npos) __builtin_trap();
    }
    std::optional<archive::Data> binary = archive::serializePlist(*plist, archive::PlistFormat::Binary);
    if (!binary) return 0;
    std::optional<archive::Value> again = archive::parsePlist(*binary);
    if (!again) __builtin_trap();
    std::optional<launchd::JobDescription> jobAgain = launchd::jobDescriptionFromPlist(*again);
    if (!jobAgain || !(*jobAgain == *job)) __builtin_trap();
    return 0;
}
