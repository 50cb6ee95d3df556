#include "ConsoleLog.h"

#include <cstdio>
#include <mutex>
#include <util/base.h>

#include "InHouseLog.h"
#include "sys_console.h"

namespace {

std::mutex g_lock; // the main and the watch thread both log
unsigned long long g_dropped = 0;

bool WriteLine(SysStream stream, const char *prefix, const char *text)
{
    char line[4096 + 32];
    const int n = std::snprintf(line, sizeof(line), "%s: %s\n", prefix, text);
    return n > 0 && SysConsoleWrite(stream, line, static_cast<size_t>(n));
}

} // namespace

void InstallConsoleLog()
{
    SysPrepareConsole();
    base_set_log_handler(ConsoleLogHandler, nullptr);
}

void ConsoleLogHandler(int level, const char *format, va_list args, void *)
{
    // The same levels, prefixes, streams and 4096-byte limit as the library's default handler.
    const char *prefix = LogLevelName(level);
    if (!prefix)
        return;
    char text[4096];
    std::vsnprintf(text, sizeof(text), format, args);
    const SysStream stream = level == LOG_ERROR ? SysStream::Err : SysStream::Out;

    std::lock_guard<std::mutex> guard(g_lock);
    if (g_dropped) {
        char notice[96];
        std::snprintf(notice, sizeof(notice),
                      "%llu log lines were dropped: nobody read them, or the disk was full",
                      g_dropped);
        if (WriteLine(stream, "warning", notice))
            g_dropped = 0;
    }
    if (!WriteLine(stream, prefix, text))
        ++g_dropped;
}
