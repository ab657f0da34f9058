// A library that, once loaded into a process, appends that process's program path to a fixed
// file: the root apps' tests tell from it which processes a caller's LD_PRELOAD reached.
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstring>

__attribute__((constructor)) static void markLoaded() {
    char exe[PATH_MAX + 1] = {};
    ssize_t n = ::readlink("/proc/self/exe", exe, PATH_MAX);
    if (n < 0) return;
    exe[n] = '\n';
    int fd = ::open(PRELOAD_MARKER_LOG, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ssize_t written = ::write(fd, exe, static_cast<size_t>(n) + 1);
    (void)written;
    ::close(fd);
}
