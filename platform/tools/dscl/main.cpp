// dscl: see GroupMembership.h.
#include <unistd.h>

#include <string>
#include <vector>

#include "GroupMembership.h"

namespace {

void writeAll(int fd, const std::string& text) {
    for (size_t done = 0; done < text.size();) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    std::vector<std::string> args(argv + 1, argv + argc);
    dscl::Outcome outcome = dscl::run(args);
    writeAll(STDOUT_FILENO, outcome.output);
    writeAll(STDERR_FILENO, outcome.error);
    return outcome.status;
}
