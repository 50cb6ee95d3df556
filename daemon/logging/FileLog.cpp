#include "FileLog.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <util/base.h>
#include <util/bmem.h>
#include <util/platform.h>

#include "InHouseLog.h"
#include "LogFolder.h"
#include "LogName.h"
#include "sys_configdir.h"
#include "sys_logio.h"

namespace {

// The file logging goes to (its name: LiveLogName). Changed only under g_writeLock, and read
// there by every write.
struct LiveFile {
    std::fstream *stream = nullptr; // the stream of the set-up that owns it now
    SysLogFile file = kNoLogFile;   // where a write that fails half-way is cut off again
    std::wstring firstChoice;       // the path of its second, which later set-ups share
};
LiveFile g_live;
// The name the latest set-up tried, while no file is live (it failed before any did).
std::string g_triedName;

// Whole messages go out one at a time, so concurrent threads never tear or interleave lines.
std::mutex g_writeLock;
// One set-up at a time: a set-up decides between sharing the live file and opening a new one.
std::mutex g_setUpLock;

// Writes whole lines in one go. Part of them may reach the file before the disk fills up; that
// part is cut off again, so the file only ever holds whole lines and the next write starts
// clean.
void WriteWholeLines(std::fstream &logFile, const char *data, size_t len)
{
    logFile.clear();
    const std::streampos start = logFile.tellp();
    logFile.write(data, static_cast<std::streamsize>(len));
    logFile.flush();
    if (logFile)
        return;
    logFile.clear();
    if (start != std::streampos(-1) && SysTruncateLog(g_live.file, start))
        logFile.seekp(start);
}

// Lines of one message, each "<prefix on the first><stamp><text>\n", gathered in a buffer on
// the stack and written a few whole lines at a time.
class LineWriter {
public:
    explicit LineWriter(std::fstream &logFile) : logFile_(logFile) {}
    ~LineWriter() { Flush(); }

    void Line(const char *prefix, const std::string &stamp, const char *text)
    {
        const size_t prefixLen = std::strlen(prefix), textLen = std::strlen(text);
        const size_t need = prefixLen + stamp.size() + textLen + 1;
        // A line is at most prefix, stamp and a 5120-byte message: it always fits an empty buffer.
        if (used_ + need > sizeof(buffer_))
            Flush();
        Append(prefix, prefixLen);
        Append(stamp.data(), stamp.size());
        Append(text, textLen);
        Append("\n", 1);
    }

private:
    void Append(const char *data, size_t len)
    {
        std::memcpy(buffer_ + used_, data, len);
        used_ += len;
    }
    void Flush()
    {
        if (used_)
            WriteWholeLines(logFile_, buffer_, used_);
        used_ = 0;
    }

    std::fstream &logFile_;
    char buffer_[8192];
    size_t used_ = 0;
};

void WriteMessage(std::fstream &logFile, const char *prefix, char *message)
{
    const std::string stamp = LogTimeStamp() + ": ";
    LineWriter out(logFile);
    char *line = message;
    while (char *feed = std::strchr(line, '\n')) {
        char *end = feed;
        if (end > line && end[-1] == '\r')
            --end;
        *end = '\0';
        out.Line(prefix, stamp, line);
        prefix = "";
        line = feed + 1;
    }
    out.Line(prefix, stamp, line);
}

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
    return LogName(local, 0, extension);
}

const char *CurrentLogFileName()
{
    return g_live.stream ? LiveLogName() : g_triedName.c_str();
}

void WriteStampedLines(std::fstream &logFile, char *message)
{
    WriteMessage(logFile, "", message);
}

void FileLogHandler(int level, const char *format, va_list args, void *param)
{
    char message[5120];
    std::vsnprintf(message, sizeof(message), format, args);
    {
        std::lock_guard<std::mutex> guard(g_writeLock);
        // A set-up may have moved the file to another stream since this handler was chosen.
        std::fstream *logFile = g_live.stream ? g_live.stream : static_cast<std::fstream *>(param);
        SysDebugOutput(message);
        SysDebugOutput("\n");

        // Debug lines go to the debugger output only.
        const char *name = level == LOG_DEBUG ? nullptr : LogLevelName(level);
        char prefix[16];
        // A failed write (a full disk) loses its lines; the next message tries afresh.
        if (name && logFile) {
            std::snprintf(prefix, sizeof(prefix), "%s: ", name);
            WriteMessage(*logFile, prefix, message);
        }
    }
    if (level <= LOG_ERROR && SysDebuggerPresent())
        SysDebugBreak();
}

namespace {

// The path of a numbered name: the file name at its end numbered the same way.
std::wstring NumberedPath(const std::wstring &path, const std::string &name, int n)
{
    const std::string numbered = NumberedLogName(name, n);
    return path.substr(0, path.size() - name.size()) +
           std::wstring(numbered.begin(), numbered.end());
}

// The resolved wide path of folder + name; empty when it cannot be had.
std::wstring ResolvedPath(const char *folder, const std::string &name)
{
    const std::string joined = std::string(folder ? folder : "") + name;
    char *path = SysConfigPath(joined.c_str());
    wchar_t *wide = nullptr;
    std::wstring resolved;
    if (path && os_utf8_to_wcs_ptr(path, 0, &wide) != 0)
        resolved = wide;
    bfree(wide);
    bfree(path);
    return resolved;
}

// A second set-up within the same second gets the live file's name: the open file moves to
// this stream (the earlier content of the stream is closed) instead of a second file.
bool ShareLiveFile(std::fstream &logFile, const std::wstring &path)
{
    std::fstream earlier;
    {
        std::lock_guard<std::mutex> guard(g_writeLock);
        if (!g_live.stream || g_live.firstChoice != path || !g_live.stream->is_open())
            return false;
        if (g_live.stream != &logFile) {
            logFile.swap(*g_live.stream);
            earlier.swap(*g_live.stream); // what this stream held before
            g_live.stream = &logFile;
        }
        logFile.clear();
    }
    earlier.close();
    base_set_log_handler(FileLogHandler, &logFile);
    return true;
}

} // namespace

void InstallFileLog(std::fstream &logFile, const char *folder)
{
    std::lock_guard<std::mutex> setUp(g_setUpLock);
    FindNewestLog();
    const std::string name = MakeLogFileName("txt");
    g_triedName = name;
    const std::wstring path = ResolvedPath(folder, name);
    if (path.empty() || ShareLiveFile(logFile, path))
        return;

    // Made on a stream of its own first: a stream that is still open from an earlier set-up
    // cannot be opened again, and it keeps logging if the new file fails. Another process may
    // have made a log in the same second, or anything may stand under the name: the next free
    // name of that second.
    std::fstream fresh;
    SysLogFile file = kNoLogFile;
    int n = 0;
    SysCreateResult made = SysCreateLogStream(fresh, path, &file);
    while (made == SysCreateResult::NameTaken && ++n < kLogNamesPerSecond)
        made = SysCreateLogStream(fresh, NumberedPath(path, name, n), &file);
    if (made == SysCreateResult::Created) {
        SysLogFile earlierFile;
        {
            std::lock_guard<std::mutex> guard(g_writeLock);
            logFile.swap(fresh);
            logFile.clear();
            earlierFile = g_live.stream ? g_live.file : kNoLogFile;
            g_live = {&logFile, file, path};
            SetLiveLogName(NumberedLogName(name, n));
        }
        fresh.close(); // the earlier file, if any
        SysCloseLogFile(earlierFile);
        PruneOldestLog(folder);
        base_set_log_handler(FileLogHandler, &logFile);
    } else {
        logFile.setstate(std::ios::failbit);
        blog(LOG_ERROR, "Failed to open log file");
    }
}
