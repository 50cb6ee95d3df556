#include "ProcInfo.h"

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

StatFields ParseStat(const QByteArray &stat)
{
    StatFields fields;
    const int close = stat.lastIndexOf(')');
    if (close < 0 || close + 2 >= stat.size())
        return fields;
    // After ") ": state is field 3 of the file, flags field 9, start time field 22.
    const QList<QByteArray> rest = stat.mid(close + 2).split(' ');
    fields.state = rest.value(0).isEmpty() ? 0 : rest.value(0).at(0);
    fields.flags = rest.value(6).toULongLong();
    fields.startTime = rest.value(19).toULongLong();
    return fields;
}

StatFields ReadStat(long long pid)
{
    return ParseStat(ReadProc("/proc/" + QByteArray::number(pid) + "/stat"));
}

char TaskState(long long pid, long long tid)
{
    return ParseStat(ReadTaskFile(pid, tid, "stat")).state;
}

ProcStatus ReadStatus(long long pid)
{
    ProcStatus info;
    const QByteArray status = ReadProc("/proc/" + QByteArray::number(pid) + "/status");
    if (status.isEmpty())
        return info;
    info.exists = true;
    info.name = QString::fromUtf8(StatusValue(status, "Name:"));
    info.state = StatusValue(status, "State:").left(1).at(0);
    info.threads = StatusValue(status, "Threads:").toInt();
    info.tgid = StatusValue(status, "Tgid:").toLongLong();
    info.tracer = StatusValue(status, "TracerPid:").toLongLong();
    info.uid = StatusValue(status, "Uid:").split('\t').value(0).toLongLong();
    return info;
}

QString ProcessOfThread(long long tid)
{
    const ProcStatus thread = ReadStatus(tid);
    if (!thread.exists)
        return QString();
    const ProcStatus process = thread.tgid > 0 ? ReadStatus(thread.tgid) : thread;
    return QStringLiteral("%1 (%2)").arg(QString::number(thread.tgid > 0 ? thread.tgid : tid),
                                         process.exists ? process.name : thread.name);
}
