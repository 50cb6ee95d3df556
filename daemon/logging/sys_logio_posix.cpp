#include "sys_logio.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <pthread.h>
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

bool SysOpenLogStream(std::fstream &stream, const std::wstring &path)
{
    char *utf8 = nullptr;
    if (os_wcs_to_utf8_ptr(path.c_str(), path.size(), &utf8) == 0) {
        bfree(utf8);
        return false;
    }
    stream.rdbuf()->pubsetbuf(nullptr, 0);
    stream.open(utf8, std::ios::in | std::ios::out | std::ios::trunc);
    bfree(utf8);
    return stream.is_open();
}

bool SysTruncateLog(const std::wstring &path, std::streamoff size)
{
    char *utf8 = nullptr;
    const bool ok = os_wcs_to_utf8_ptr(path.c_str(), path.size(), &utf8) != 0 &&
                    truncate(utf8, static_cast<off_t>(size)) == 0;
    bfree(utf8);
    return ok;
}
