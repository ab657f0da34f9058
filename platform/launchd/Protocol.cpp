#include "Protocol.h"

namespace launchd::protocol {

namespace {

const char* statusName(ReplyStatus status) {
    switch (status) {
        case ReplyStatus::Ok:
            return "Ok";
        case ReplyStatus::NotFound:
            return "NotFound";
        case ReplyStatus::Failed:
        case ReplyStatus::Unreachable:
            break;
    }
    return "Failed";
}

}  // namespace

archive::Value encodeJob(const JobStatus& job) {
    archive::Dictionary d;
    d["Label"] = job.label;
    if (job.pid > 0) d["PID"] = static_cast<int64_t>(job.pid);
    d["LastExitStatus"] = static_cast<int64_t>(job.lastExitStatus);
    d["Program"] = job.program;
    archive::Array args;
    for (const std::string& a : job.programArguments) args.emplace_back(a);
    d["ProgramArguments"] = std::move(args);
    return d;
}

std::optional<JobStatus> decodeJob(const archive::Value& value) {
    const archive::Value* label = value.find("Label");
    if (!label || !label->string()) return std::nullopt;
    JobStatus job;
    job.label = *label->string();
    if (const archive::Value* pid = value.find("PID"))
        job.pid = static_cast<pid_t>(pid->integer().value_or(0));
    if (const archive::Value* status = value.find("LastExitStatus")) {
        job.lastExitStatus = static_cast<int>(status->integer().value_or(0));
    }
    if (const archive::Value* program = value.find("Program"); program && program->string()) {
        job.program = *program->string();
    }
    if (const archive::Value* args = value.find("ProgramArguments"); args && args->array()) {
        for (const archive::Value& a : *args->array()) {
            if (a.string()) job.programArguments.push_back(*a.string());
        }
    }
    return job;
}

archive::Value encodeReply(const Reply& reply) {
    archive::Dictionary d;
    d[kStatus] = statusName(reply.status);
    if (!reply.message.empty()) d[kMessage] = reply.message;
    if (!reply.jobs.empty()) {
        archive::Array jobs;
        for (const JobStatus& job : reply.jobs) jobs.push_back(encodeJob(job));
        d[kJobs] = std::move(jobs);
    }
    return d;
}

Reply decodeReply(const archive::Value& value) {
    Reply reply;
    reply.status = ReplyStatus::Failed;
    const archive::Value* status = value.find(kStatus);
    if (!status || !status->string()) {
        reply.message = "malformed reply from launchd";
        return reply;
    }
    if (*status->string() == "Ok") {
        reply.status = ReplyStatus::Ok;
    } else if (*status->string() == "NotFound") {
        reply.status = ReplyStatus::NotFound;
    }
    if (const archive::Value* message = value.find(kMessage); message && message->string()) {
        reply.message = *message->string();
    }
    if (const archive::Value* jobs = value.find(kJobs); jobs && jobs->array()) {
        for (const archive::Value& j : *jobs->array()) {
            if (auto job = decodeJob(j)) reply.jobs.push_back(std::move(*job));
        }
    }
    return reply;
}

}  // namespace launchd::protocol
