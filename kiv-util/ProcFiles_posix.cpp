#include "ProcFiles.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

QByteArray ReadProc(const QByteArray &path)
{
    QByteArray data;
    const int fd = open(path.constData(), O_RDONLY | O_CLOEXEC);
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
    return ReadProc("/proc/" + QByteArray::number(pid) + "/task/" + QByteArray::number(tid) + '/' +
                    name);
}

QByteArray StatusValue(const QByteArray &status, const char *key)
{
    const int keyLen = static_cast<int>(std::strlen(key));
    for (int at = 0; at < status.size();) {
        int end = status.indexOf('\n', at);
        if (end < 0)
            end = status.size();
        if (status.mid(at, keyLen) == key)
            return status.mid(at + keyLen, end - at - keyLen).trimmed();
        at = end + 1;
    }
    return QByteArray();
}

QVector<long long> ListThreads(long long pid)
{
    QVector<long long> tids;
    DIR *dir = opendir(("/proc/" + QByteArray::number(pid) + "/task").constData());
    if (!dir)
        return tids;
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] >= '0' && entry->d_name[0] <= '9')
            tids << std::strtoll(entry->d_name, nullptr, 10);
    }
    closedir(dir);
    return tids;
}

char TaskState(long long pid, long long tid)
{
    const QByteArray stat = ReadTaskFile(pid, tid, "stat");
    const int close = stat.lastIndexOf(')');
    return close > 0 && close + 2 < stat.size() ? stat.at(close + 2) : 0;
}
