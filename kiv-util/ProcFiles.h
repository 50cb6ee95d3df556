#pragma once
// Linux: small /proc files read with plain system calls; a capture reads hundreds of them, so
// they must be cheap.
#include <QByteArray>
#include <QVector>

// The whole of a small file, or empty.
QByteArray ReadProc(const QByteArray &path);
QByteArray ReadTaskFile(long long pid, long long tid, const char *name);
// The value of "key" in a status file ("TracerPid:", "State:", ...), trimmed.
QByteArray StatusValue(const QByteArray &status, const char *key);
// The thread ids of a process, as /proc lists them.
QVector<long long> ListThreads(long long pid);
// The state letter of a thread ('R', 'S', 'D', 'Z', ...), 0 when it is gone.
char TaskState(long long pid, long long tid);
