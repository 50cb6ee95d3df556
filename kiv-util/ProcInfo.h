#pragma once
// Linux: what /proc says about a process and its threads, read with plain system calls (a
// capture reads hundreds of these files, so they must be cheap) and parsed in one place.
#include <QByteArray>
#include <QList>
#include <QString>
#include <QVector>

// The whole of a small file, or empty.
QByteArray ReadProc(const QByteArray &path);
QByteArray ReadTaskFile(long long pid, long long tid, const char *name);
// The value of "key" in a status file ("TracerPid:", "State:", ...), trimmed.
QByteArray StatusValue(const QByteArray &status, const char *key);
// The thread ids of a process, as /proc lists them.
QVector<long long> ListThreads(long long pid);

// The fields of a stat file that we use. The name in parentheses may hold anything, spaces
// and ')' included: the fields are counted from its last ')'.
struct StatFields {
    char state = 0; // 'R', 'S', 'D', 'Z', ...; 0 when the file could not be read
    unsigned long long flags = 0;
    unsigned long long startTime = 0;
    bool kernelThread() const { return (flags & 0x00200000u) != 0; } // PF_KTHREAD
};
StatFields ParseStat(const QByteArray &stat);
StatFields ReadStat(long long pid);
// The state letter of a thread, 0 when it is gone.
char TaskState(long long pid, long long tid);

// A process as its status file describes it.
struct ProcStatus {
    bool exists = false;
    QString name;
    char state = 0;
    long long tgid = 0;
    long long tracer = 0; // a thread id of the tracer, 0 when untraced
    long long uid = -1;
    int threads = 0;
};
ProcStatus ReadStatus(long long pid);
// The process that thread tid belongs to, with its name: "4711 (strace)"; empty when gone.
QString ProcessOfThread(long long tid);
