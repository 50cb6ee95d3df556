#pragma once
// What /proc says about a process and its threads, parsed in one place. The raw readers use
// plain system calls and the caller's buffers only, so the tracer (which may allocate nothing)
// uses them too; the others build on them.
#include "CaptureModel.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QVector>
#include <cstddef>
#include <sys/stat.h>
#include <sys/types.h>

// ---- raw: no allocation ----

// Opens a file to read such that nothing at the path can make the viewer wait (a FIFO, a device,
// a socket): without blocking, without taking a terminal, closed on exec, and refused (-1)
// unless it is of the kind expected (S_IFREG, or S_IFDIR for a folder).
int OpenToRead(const char *path, int kind = S_IFREG);
// A small /proc file into buf (NUL-terminated); its length, or -1.
ssize_t ReadSmall(const char *path, char *buf, size_t size);
// "/proc/<pid>[/task/<tid>]/<file>" into out (room for 96 bytes is enough); tid 0 for none.
void ProcPath(char *out, long long pid, long long tid, const char *file);
// The number after "key" ("TracerPid:", "Tgid:") in a status text, 0 when missing.
long long StatusNumber(const char *status, const char *key);
// The text after "key" up to the end of its line, into out; false when missing.
bool StatusText(const char *status, const char *key, char *out, size_t size);
// The state letter of a stat text; 0 when it cannot be read. The name in parentheses may hold
// anything, spaces and ')' included: fields are counted from its last ')'.
char StatState(const char *stat);
// The name of a stat text (from its first '(' to its last ')') into out, cut to fit; false when
// it cannot be read.
bool StatName(const char *stat, char *out, size_t size);
// The flags of a stat text (the kernel's PF_* of the task); 0 when they cannot be read.
unsigned long long StatFlags(const char *stat);
// A thread the kernel runs for the process (io_uring's workers, PF_IO_WORKER; and others
// since Linux 6.4, PF_USER_WORKER): it has no user-space stack.
constexpr unsigned long long kIoWorker = 0x00000010, kUserWorker = 0x00004000;
// The state letter of a thread, 0 when it is gone.
char TaskState(long long pid, long long tid);
// A process or thread that has exited: a zombie, or on its way out.
inline bool Exited(char state)
{
    return state == 'Z' || state == 'X';
}

// ---- built on them ----

// The whole of a /proc file, or empty.
QByteArray ReadProc(const QByteArray &path);
QByteArray ReadTaskFile(long long pid, long long tid, const char *name);
// The thread ids of a process, as /proc lists them.
QVector<long long> ListThreads(long long pid);

// The fields of a stat file that we use.
struct StatFields {
    char state = 0; // 'R', 'S', 'D', 'Z', ...; 0 when the file could not be read
    unsigned long long flags = 0;
    unsigned long long startTime = 0;
    bool kernelThread() const { return (flags & 0x00200000u) != 0; } // PF_KTHREAD
};
StatFields ParseStat(const QByteArray &stat);
StatFields ReadStat(long long pid);

// A process as its status file describes it.
struct ProcStatus {
    bool exists = false;
    QString name;
    char state = 0;
    long long tgid = 0;
    long long tracer = 0; // a thread id of the tracer, 0 when untraced
    long long uid = -1;
    int threads = 0;
    // Its id in the innermost PID namespace it belongs to (a container's), and how many
    // namespaces deep that is, as the NSpid line says; nsLevels 0 where there is none.
    long long nsTid = 0;
    int nsLevels = 0;
    int error = 0; // why the file could not be read, when it could not
};
ProcStatus ParseStatus(const QByteArray &status);
ProcStatus ReadStatus(long long pid);
// Thread ids as the target's own PID namespace numbers them (what its locks record), to ours;
// empty when it numbers them as we do.
QHash<long long, long long> NamespaceTids(long long pid);

// The process that thread tid belongs to, with its name; id 0 when gone.
ProcessRef ProcessOfThread(long long tid);
