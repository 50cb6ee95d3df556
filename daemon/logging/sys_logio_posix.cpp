#include "sys_logio.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <util/bmem.h>
#include <util/platform.h>

void SysDebugOutput(const char *text)
{
    // One write call per piece, so pieces of different threads never mix.
    const size_t len = std::strlen(text);
    size_t done = 0;
    while (done < len) {
        const ssize_t n = write(STDERR_FILENO, text + done, len - done);
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
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

void SysDebugBreak()
{
    raise(SIGTRAP);
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
    stream.open(utf8, std::ios::in | std::ios::out | std::ios::trunc);
    bfree(utf8);
    return stream.is_open();
}
