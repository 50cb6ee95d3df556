#include "FileLog.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <util/base.h>
#include <util/bmem.h>
#include <util/platform.h>

#include "LogFolder.h"
#include "sys_logio.h"

namespace {

std::string g_currentLogName;

// Whole messages go out one at a time, so concurrent threads never tear or interleave lines.
std::mutex g_writeLock;

} // namespace

std::string LogTimeStamp()
{
    using namespace std::chrono;
    const long long ticks =
        duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
    const long long seconds = ticks / 10000000;
    char buffer[80] = {};
    struct tm local = {};
    size_t n = 0;
    if (SysLocalTime(static_cast<time_t>(seconds), &local))
        n = std::strftime(buffer, sizeof(buffer), "%X", &local);
    if (n != 0 && sizeof(buffer) - n > 5)
        std::snprintf(buffer + n, sizeof(buffer) - n, ".%03u",
                      static_cast<unsigned>((ticks - seconds * 10000000) / 10000));
    return buffer;
}

std::string MakeLogFileName(const char *extension)
{
    const time_t now = std::time(nullptr);
    struct tm local = {};
    SysLocalTime(now, &local);
    char buffer[256];
    std::memset(buffer, 0, sizeof(buffer));
    std::snprintf(buffer, sizeof(buffer), "%d-%02d-%02d %02d-%02d-%02d.%s", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  extension);
    return buffer;
}

const char *CurrentLogFileName()
{
    return g_currentLogName.c_str();
}

void WriteStampedLines(std::fstream &logFile, char *message)
{
    const std::string stamp = LogTimeStamp() + ": ";
    char *line = message;
    while (char *feed = std::strchr(line, '\n')) {
        char *end = feed;
        if (end > line && end[-1] == '\r')
            --end;
        *end = '\0';
        logFile << stamp << line << std::endl;
        line = feed + 1;
    }
    logFile << stamp << line << std::endl;
}

void FileLogHandler(int level, const char *format, va_list args, void *param)
{
    char message[5120];
    std::vsnprintf(message, sizeof(message), format, args);
    auto *logFile = static_cast<std::fstream *>(param);
    {
        std::lock_guard<std::mutex> guard(g_writeLock);
        SysDebugOutput(message);
        SysDebugOutput("\n");

        const char *prefix = level == LOG_ERROR     ? "error: "
                             : level == LOG_WARNING ? "warning: "
                             : level == LOG_INFO    ? "info: "
                                                    : nullptr;
        if (prefix && logFile) {
            // A failed write (a full disk) loses its line; the next message tries afresh.
            logFile->clear();
            *logFile << prefix;
            WriteStampedLines(*logFile, message);
        }
    }
    if (level <= LOG_ERROR && SysDebuggerPresent())
        SysDebugBreak();
}

void InstallFileLog(std::fstream &logFile, const char *folder)
{
    FindNewestLog();
    g_currentLogName = MakeLogFileName("txt");
    const std::string joined = std::string(folder ? folder : "") + g_currentLogName;
    char *path = os_get_config_path_ptr(joined.c_str());

    wchar_t *wide = nullptr;
    if (path && os_utf8_to_wcs_ptr(path, 0, &wide) != 0) {
        const std::wstring widePath(wide);
        bfree(wide);

        if (SysOpenLogStream(logFile, widePath))
            logFile.clear();
        else
            logFile.setstate(std::ios::failbit);

        if (logFile.is_open()) {
            PruneOldestLog(folder);
            base_set_log_handler(FileLogHandler, &logFile);
        } else {
            blog(LOG_ERROR, "Failed to open log file");
        }
    } else {
        bfree(wide);
    }
    bfree(path);
}
