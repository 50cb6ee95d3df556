#include "sys_logio.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <util/bmem.h>
#include <util/platform.h>

void SysDebugOutput(const char *text)
{
    // SIGPIPE is held back while we write, and the one our write raised is taken back: a closed
    // standard error must not end the process, and the process's own handling stays as it was.
    sigset_t pipeSignal, saved, pending;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &saved);
    sigpending(&pending);
    const bool alreadyPending = sigismember(&pending, SIGPIPE) == 1;

    // One write call per piece, so pieces of different threads never mix.
    const size_t len = std::strlen(text);
    size_t done = 0;
    while (done < len) {
        const ssize_t n = write(STDERR_FILENO, text + done, len - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n < 0 && errno == EPIPE && !alreadyPending) {
                const struct timespec zero = {0, 0};
                while (sigtimedwait(&pipeSignal, nullptr, &zero) < 0 && errno == EINTR) {
                }
            }
            break;
        }
        done += static_cast<size_t>(n);
    }
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

bool SysDebuggerPresent()
{
    FILE *status = std::fopen("/proc/self/status", "r");
    if (!status)
        return false;
    char line[256];
    long tracer = 0;
    while (std::fgets(line, sizeof(line), status)) {
        if (std::strncmp(line, "TracerPid:", 10) == 0) {
            tracer = std::strtol(line + 10, nullptr, 10);
            break;
        }
    }
    std::fclose(status);
    return tracer != 0;
}

namespace {
// Threads between setting SIGTRAP aside and restoring it. The disposition is process-wide: it
// goes back only when the last of them is done, or another thread's trap, still on its way
// through the tracer, would meet the killing default.
std::mutex g_breakLock;
int g_breaking = 0;
struct sigaction g_savedTrap;
} // namespace

void SysDebugBreak()
{
    // A traced process sees even an ignored signal reach its tracer first: a debugger stops
    // there as it would at a breakpoint, while a tracer that passes the signal on (strace, the
    // stack viewer) hands it back to an ignoring process instead of a killing default.
    {
        std::lock_guard<std::mutex> guard(g_breakLock);
        if (g_breaking++ == 0) {
            struct sigaction ignore = {};
            ignore.sa_handler = SIG_IGN;
            sigemptyset(&ignore.sa_mask);
            sigaction(SIGTRAP, &ignore, &g_savedTrap);
        }
    }
    // raise returns once the signal has been through the tracer and dealt with.
    raise(SIGTRAP);
    std::lock_guard<std::mutex> guard(g_breakLock);
    if (--g_breaking == 0)
        sigaction(SIGTRAP, &g_savedTrap, nullptr);
}

bool SysLocalTime(time_t seconds, struct tm *local)
{
    return localtime_r(&seconds, local) != nullptr;
}

namespace {

// The stream on the very file fd names: through the descriptor's own link in /proc, else by
// path, checked to be the same file and not a link.
bool OpenStreamOn(std::fstream &stream, int fd, const char *path)
{
    stream.rdbuf()->pubsetbuf(nullptr, 0);
    stream.open("/proc/self/fd/" + std::to_string(fd), std::ios::in | std::ios::out);
    if (stream.is_open())
        return true;
    struct stat made, named;
    if (fstat(fd, &made) != 0 || lstat(path, &named) != 0 || !S_ISREG(named.st_mode) ||
        made.st_dev != named.st_dev || made.st_ino != named.st_ino)
        return false;
    stream.open(path, std::ios::in | std::ios::out);
    return stream.is_open();
}

} // namespace

namespace {

// Held as long as the descriptor is open: the mark of a live log for other processes.
bool LockAsLive(int fd)
{
    struct flock lock = {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// The folder part of a path, "." when it has none.
std::string FolderOf(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// A file that nobody can see under any name until it is locked: made unnamed in the folder,
// locked, then linked under path (which, like O_EXCL, fails on anything already there, a
// dangling link included). Another process's pruning can never find it unlocked. -1 with errno
// EOPNOTSUPP (or EISDIR, EINVAL) where the file system cannot make unnamed files.
int CreateLockedUnnamed(const std::string &path, int *linkError)
{
    *linkError = 0;
    const int fd = open(FolderOf(path).c_str(), O_TMPFILE | O_RDWR | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0)
        return -1;
    if (!LockAsLive(fd)) {
        close(fd);
        errno = EIO;
        *linkError = EIO;
        return -1;
    }
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    int linked = linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW);
    if (linked != 0 && errno == ENOENT) // no /proc: the descriptor itself, where allowed
        linked = linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH);
    if (linked != 0) {
        *linkError = errno;
        close(fd);
        return -1;
    }
    return fd;
}

// Where unnamed files cannot be made: created by name and locked at once; a pruning that came
// in between and removed it leaves the name leading elsewhere or nowhere, and the caller takes
// the next name.
int CreateLockedByName(const std::string &path, SysCreateResult *result)
{
    const int fd =
        open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        *result = errno == EEXIST ? SysCreateResult::NameTaken : SysCreateResult::Failed;
        return -1;
    }
    struct stat made, named;
    if (!LockAsLive(fd)) { // a pruning holds it and removes it: the next name
        close(fd);
        *result = SysCreateResult::NameTaken;
        return -1;
    }
    if (fstat(fd, &made) != 0 || lstat(path.c_str(), &named) != 0 || made.st_dev != named.st_dev ||
        made.st_ino != named.st_ino) {
        close(fd);
        *result = SysCreateResult::NameTaken;
        return -1;
    }
    *result = SysCreateResult::Created;
    return fd;
}

} // namespace

SysCreateResult SysCreateLogStream(std::fstream &stream, const std::wstring &path, SysLogFile *file)
{
    char *utf8 = nullptr;
    if (os_wcs_to_utf8_ptr(path.c_str(), path.size(), &utf8) == 0) {
        bfree(utf8);
        return SysCreateResult::Failed;
    }
    const std::string name = utf8;
    bfree(utf8);
    int linkError = 0;
    SysCreateResult result = SysCreateResult::Created;
    int fd = CreateLockedUnnamed(name, &linkError);
    if (fd < 0 && linkError == EEXIST)
        return SysCreateResult::NameTaken;
    if (fd < 0 && linkError == 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL))
        fd = CreateLockedByName(name, &result);
    else if (fd < 0)
        return SysCreateResult::Failed;
    if (fd < 0)
        return result;
    if (!OpenStreamOn(stream, fd, name.c_str())) {
        // Named already: take the name away again, as nothing will ever be written there.
        struct stat made, named;
        if (fstat(fd, &made) == 0 && lstat(name.c_str(), &named) == 0 &&
            made.st_dev == named.st_dev && made.st_ino == named.st_ino)
            unlink(name.c_str());
        close(fd);
        return SysCreateResult::Failed;
    }
    *file = fd;
    return SysCreateResult::Created;
}

void SysCloseLogFile(SysLogFile file)
{
    if (file != kNoLogFile)
        close(static_cast<int>(file));
}

bool SysTruncateLog(SysLogFile file, std::streamoff size)
{
    return file != kNoLogFile && ftruncate(static_cast<int>(file), static_cast<off_t>(size)) == 0;
}

bool SysRemoveUnusedLog(const char *path)
{
    // Never blocks: a FIFO or device planted under a log's name is no live log and goes.
    int fd = open(path, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    const bool writable = fd >= 0;
    if (fd < 0 && errno == EACCES) // another user's file: only a look at its lock
        fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno == ELOOP && unlink(path) == 0; // a link planted under the name
    // Locked for removal: a live log holds its lock, and another pruner that found the same
    // file unused cannot take it too. So nobody else removes this file's name until it is
    // closed, and no new log can be linked under the name meanwhile: the name removed below
    // is this file's.
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    bool unused;
    if (writable) {
        unused = fcntl(fd, F_OFD_SETLK, &lock) == 0;
    } else {
        unused = fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type == F_UNLCK;
    }
    struct stat opened, named;
    const bool removed = unused && fstat(fd, &opened) == 0 && lstat(path, &named) == 0 &&
                         opened.st_dev == named.st_dev && opened.st_ino == named.st_ino &&
                         unlink(path) == 0;
    close(fd);
    return removed;
}
