#include "sys_console.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Target {
    int fd = -1;
    bool socket = false;
    bool file = false; // a regular file: a write cut short by a full disk is taken back
};
Target g_out, g_err;

// A new open file description of the same pipe or terminal, so O_NONBLOCK is ours alone and
// never changes the stream of whoever started us.
Target Prepare(int fd)
{
    Target target;
    target.fd = fd;
    struct stat st;
    if (fstat(fd, &st) != 0)
        return target;
    if (S_ISSOCK(st.st_mode)) {
        target.socket = true;
    } else if (S_ISREG(st.st_mode)) {
        target.file = true;
    } else if (S_ISFIFO(st.st_mode) || (S_ISCHR(st.st_mode) && isatty(fd))) {
        // Pipes and terminals can stall; files and /dev/null cannot.
        const std::string path = "/proc/self/fd/" + std::to_string(fd);
        const int own = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (own >= 3) {
            target.fd = own;
        } else if (own >= 0) {
            // Keep it off 0..2, which a daemon started with closed streams may have free.
            target.fd = fcntl(own, F_DUPFD_CLOEXEC, 3);
            close(own);
            if (target.fd < 0)
                target.fd = fd;
        }
    }
    return target;
}

} // namespace

void SysPrepareConsole()
{
    signal(SIGPIPE, SIG_IGN); // the watcher's children get default dispositions back
    g_out = Prepare(STDOUT_FILENO);
    g_err = Prepare(STDERR_FILENO);
}

namespace {

// Where the next write lands in a regular file, or -1.
off_t WriteOffset(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_APPEND)) {
        struct stat st;
        return fstat(fd, &st) == 0 ? st.st_size : -1;
    }
    return lseek(fd, 0, SEEK_CUR);
}

} // namespace

bool SysConsoleWrite(SysStream stream, const char *data, size_t len)
{
    const Target &target = stream == SysStream::Out ? g_out : g_err;
    if (target.fd < 0)
        return false;
    const off_t start = target.file ? WriteOffset(target.fd) : -1;
    size_t done = 0;
    while (done < len) {
        const ssize_t n =
            target.socket ? send(target.fd, data + done, len - done, MSG_DONTWAIT | MSG_NOSIGNAL)
                          : write(target.fd, data + done, len - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    if (done == len)
        return true;
    // Part of a line in a file (the disk filled up half-way): cut it off again, so the next
    // line does not run on from it.
    if (done > 0 && start >= 0 && ftruncate(target.fd, start) == 0)
        lseek(target.fd, start, SEEK_SET);
    return false;
}
