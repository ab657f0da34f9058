#include "SystemLog.h"

#include <cstdio>
#include <mutex>

namespace helperscaffold {

namespace {

std::mutex& writerMutex() {
    static std::mutex m;
    return m;
}

std::function<void(const std::string&)>& writer() {
    static std::function<void(const std::string&)> w;
    return w;
}

}  // namespace

void systemLog(const std::string& line) {
    std::lock_guard<std::mutex> lock(writerMutex());
    if (writer()) {
        writer()(line);
        return;
    }
    std::fprintf(stderr, "%s %s\n", program_invocation_short_name, line.c_str());
    std::fflush(stderr);
}

void setSystemLogWriter(std::function<void(const std::string&)> w) {
    std::lock_guard<std::mutex> lock(writerMutex());
    writer() = std::move(w);
}

}  // namespace helperscaffold
