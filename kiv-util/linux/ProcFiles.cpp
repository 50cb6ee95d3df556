#include "ProcFiles.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

char *AppendNumber(char *out, long long value)
{
    char digits[24];
    int n = 0;
    do
        digits[n++] = static_cast<char>('0' + value % 10);
    while ((value /= 10) > 0);
    while (n > 0)
        *out++ = digits[--n];
    *out = '\0';
    return out;
}

// Where the value of "key" starts in a status text (at the start of a line), or null.
const char *StatusValue(const char *status, const char *key)
{
    const size_t length = std::strlen(key);
    for (const char *at = status; at && *at;) {
        if (std::strncmp(at, key, length) == 0) {
            at += length;
            while (*at == ' ' || *at == '\t')
                ++at;
            return at;
        }
        at = std::strchr(at, '\n');
        at = at ? at + 1 : nullptr;
    }
    return nullptr;
}

} // namespace

int OpenToRead(const char *path, int kind)
{
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC |
                                  (kind == S_IFDIR ? O_DIRECTORY : 0));
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || (st.st_mode & S_IFMT) != static_cast<mode_t>(kind))) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

ssize_t ReadSmall(const char *path, char *buf, size_t size)
{
    const int fd = OpenToRead(path);
    if (fd < 0)
        return -1;
    ssize_t n;
    do
        n = read(fd, buf, size - 1);
    while (n < 0 && errno == EINTR);
    close(fd);
    buf[n > 0 ? n : 0] = '\0';
    return n;
}

void ProcPath(char *out, long long pid, long long tid, const char *file)
{
    char *at = AppendNumber(out + std::strlen(std::strcpy(out, "/proc/")), pid);
    if (tid > 0)
        at = AppendNumber(std::strcpy(at, "/task/") + 6, tid);
    *at++ = '/';
    std::strcpy(at, file);
}

long long StatusNumber(const char *status, const char *key)
{
    const char *at = StatusValue(status, key);
    long long value = 0;
    while (at && *at >= '0' && *at <= '9')
        value = value * 10 + (*at++ - '0');
    return value;
}

bool StatusText(const char *status, const char *key, char *out, size_t size)
{
    const char *at = StatusValue(status, key);
    size_t n = 0;
    while (at && at[n] && at[n] != '\n' && n + 1 < size) {
        out[n] = at[n];
        ++n;
    }
    out[n] = '\0';
    return at != nullptr;
}

char StatState(const char *stat)
{
    const char *close = std::strrchr(stat, ')');
    return close && close[1] == ' ' ? close[2] : 0;
}

bool StatName(const char *stat, char *out, size_t size)
{
    const char *open = std::strchr(stat, '(');
    const char *close = std::strrchr(stat, ')');
    if (!open || !close || close < open || size == 0)
        return false;
    const size_t length = std::min(static_cast<size_t>(close - open - 1), size - 1);
    std::memcpy(out, open + 1, length);
    out[length] = '\0';
    return true;
}

unsigned long long StatFlags(const char *stat)
{
    const char *at = std::strrchr(stat, ')');
    // state, ppid, pgrp, session, tty_nr, tpgid, then flags
    for (int field = 0; at && field < 7; ++field)
        at = std::strchr(at + 1, ' ');
    return at ? std::strtoull(at + 1, nullptr, 10) : 0;
}

char TaskState(long long pid, long long tid)
{
    char path[96], stat[512];
    ProcPath(path, pid, tid, "stat");
    return ReadSmall(path, stat, sizeof(stat)) > 0 ? StatState(stat) : 0;
}

QByteArray ReadProc(const QByteArray &path)
{
    QByteArray data;
    const int fd = OpenToRead(path.constData());
    if (fd < 0)
        return data;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        data.append(buffer, static_cast<int>(n));
    }
    close(fd);
    return data;
}

QByteArray ReadTaskFile(long long pid, long long tid, const char *name)
{
    char path[96];
    ProcPath(path, pid, tid, name);
    return ReadProc(path);
}

QVector<long long> ListThreads(long long pid)
{
    QVector<long long> tids;
    char path[96];
    ProcPath(path, pid, 0, "task");
    DIR *dir = opendir(path);
    if (!dir)
        return tids;
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] >= '0' && entry->d_name[0] <= '9')
            tids << std::strtoll(entry->d_name, nullptr, 10);
    }
    closedir(dir);
    return tids;
}

StatFields ParseStat(const QByteArray &stat)
{
    StatFields fields;
    fields.state = StatState(stat.constData());
    const int close = stat.lastIndexOf(')');
    if (fields.state == 0)
        return fields;
    // After ") ": state is field 3 of the file, flags field 9, start time field 22.
    const QList<QByteArray> rest = stat.mid(close + 2).split(' ');
    fields.flags = rest.value(6).toULongLong();
    fields.startTime = rest.value(19).toULongLong();
    return fields;
}

StatFields ReadStat(long long pid)
{
    return ParseStat(ReadTaskFile(pid, 0, "stat"));
}

ProcStatus ParseStatus(const QByteArray &status)
{
    ProcStatus info;
    if (status.isEmpty())
        return info;
    const char *text = status.constData();
    char value[256];
    info.exists = true;
    if (StatusText(text, "Name:", value, sizeof(value)))
        info.name = QString::fromUtf8(value);
    if (StatusText(text, "State:", value, sizeof(value)))
        info.state = value[0];
    info.threads = static_cast<int>(StatusNumber(text, "Threads:"));
    info.tgid = StatusNumber(text, "Tgid:");
    info.tracer = StatusNumber(text, "TracerPid:");
    if (StatusValue(text, "Uid:"))
        info.uid = StatusNumber(text, "Uid:"); // the real one: the first of four
    if (StatusText(text, "NSpid:", value, sizeof(value))) {
        for (const QByteArray &id : QByteArray(value).simplified().split(' ')) {
            info.nsTid = id.toLongLong();
            ++info.nsLevels;
        }
    }
    return info;
}

ProcStatus ReadStatus(long long pid)
{
    errno = 0;
    const QByteArray status = ReadTaskFile(pid, 0, "status");
    const int error = errno;
    ProcStatus info = ParseStatus(status);
    if (!info.exists)
        info.error = error;
    return info;
}

ProcessRef ProcessOfThread(long long tid)
{
    const ProcStatus thread = ReadStatus(tid);
    if (!thread.exists)
        return {};
    const ProcStatus process = thread.tgid > 0 ? ReadStatus(thread.tgid) : thread;
    return {thread.tgid > 0 ? thread.tgid : tid, process.exists ? process.name : thread.name};
}

QHash<long long, long long> NamespaceTids(long long pid)
{
    QHash<long long, long long> ours;
    if (ReadStatus(pid).nsLevels <= ReadStatus(getpid()).nsLevels)
        return ours; // our namespace, or one that we cannot see into anyway
    for (long long tid : ListThreads(pid)) {
        const ProcStatus thread = ParseStatus(ReadTaskFile(pid, tid, "status"));
        if (thread.nsTid > 0)
            ours.insert(thread.nsTid, tid);
    }
    return ours;
}
