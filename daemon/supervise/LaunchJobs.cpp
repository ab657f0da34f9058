#include "LaunchJobs.h"

#include "platform/launchd/Client.h"
#include "platform/paths/Paths.h"

namespace supervise {

namespace {

JobCommandOutcome outcomeOf(const launchd::Reply& reply) {
    JobCommandOutcome out;
    out.ok = reply.ok();
    if (reply.ok()) {
        out.result = reply.message;
    } else {
        out.error = reply.message.empty() ? std::string("launchd did not answer") : reply.message;
    }
    return out;
}

}  // namespace

std::string jobFile(const std::string& label) {
    return paths::launchDaemonsFolder() + "/" + label + ".plist";
}

bool jobListed(const std::string& label) {
    if (label.empty()) return false;
    launchd::Reply reply = launchd::client::list();
    if (!reply.ok()) return false;
    for (const launchd::JobStatus& job : reply.jobs) {
        if (job.label.find(label) != std::string::npos) return true;
    }
    return false;
}

JobCommandOutcome loadJob(const std::string& path, bool writeAndForce) {
    launchd::LoadOptions options;
    options.write = writeAndForce;
    options.force = writeAndForce;
    return outcomeOf(launchd::client::load(path, options));
}

JobCommandOutcome unloadJob(const std::string& path) {
    return outcomeOf(launchd::client::unload(path));
}

}  // namespace supervise
