#include "TargetHold.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <sys/ptrace.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr uint64_t kRedZone = 128;                // below the stack pointer, still in use
constexpr uint64_t kLeaderStackCopy = 512 * 1024; // the main thread's stack runs deep
constexpr uint64_t kThreadStackCopy = 64 * 1024;

double NowMs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

QByteArray ReadSmallFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return QByteArray();
    return file.readAll();
}

QVector<long long> ListThreads(long long pid)
{
    QVector<long long> tids;
    const QStringList entries =
        QDir(QStringLiteral("/proc/%1/task").arg(pid)).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries)
        tids << entry.toLongLong();
    return tids;
}

QByteArray TaskFile(long long pid, long long tid, const char *name)
{
    return ReadSmallFile(QStringLiteral("/proc/%1/task/%2/%3").arg(pid).arg(tid).arg(name));
}

QByteArray TaskStatusField(long long pid, long long tid, const char *key)
{
    for (const QByteArray &line : TaskFile(pid, tid, "status").split('\n'))
        if (line.startsWith(key))
            return line.mid(static_cast<int>(std::strlen(key))).trimmed();
    return QByteArray();
}

bool IsDead(long long pid, long long tid)
{
    const QByteArray stat = TaskFile(pid, tid, "stat");
    const int close = stat.lastIndexOf(')');
    const char state = close > 0 && close + 2 < stat.size() ? stat.at(close + 2) : 0;
    return state == 'Z' || state == 'X' || state == 0;
}

// Stack mappings as they were just before the hold: the copy of a stack ends where its mapping
// does.
struct Mapping {
    uint64_t start, end;
};

std::vector<Mapping> WritableMappings(long long pid)
{
    std::vector<Mapping> maps;
    for (const QByteArray &line :
         ReadSmallFile(QStringLiteral("/proc/%1/maps").arg(pid)).split('\n')) {
        const int dash = line.indexOf('-'), space = line.indexOf(' ');
        if (dash <= 0 || space <= dash || line.mid(space + 1, 2) != "rw")
            continue;
        maps.push_back({line.left(dash).toULongLong(nullptr, 16),
                        line.mid(dash + 1, space - dash - 1).toULongLong(nullptr, 16)});
    }
    return maps;
}

enum class Held { Pending, Stopped, Gone };

struct Seized {
    long long tid;
    Held state = Held::Pending;
    int signal = 0; // a signal that arrived while we held the thread, handed back on release
};

// Everything ptrace does here runs on one short-lived thread of ours, the tracer. When it ends,
// the kernel detaches every thread it still traces, including those that never stopped (which
// PTRACE_DETACH cannot release), so no path leaves the target traced or stopped.
class Tracer {
public:
    Tracer(long long pid, int stopWithinMs) : pid_(pid), stopWithinMs_(stopWithinMs) {}

    HoldResult Run()
    {
        maps_ = WritableMappings(pid_);
        std::thread tracer([this] {
            Seize();
            WaitForStops();
            if (!result_.targetEnded)
                Copy();
            Release();
        });
        tracer.join();
        WaitUntilUntraced();
        ListLeftThreads();
        return std::move(result_);
    }

private:
    // PTRACE_SEIZE and PTRACE_INTERRUPT for every thread; threads started meanwhile are picked
    // up by listing again until no new one appears.
    void Seize()
    {
        QSet<long long> tried;
        for (int round = 0; round < 20; ++round) {
            bool added = false;
            for (long long tid : ListThreads(pid_)) {
                if (tried.contains(tid))
                    continue;
                tried.insert(tid);
                added = true;
                // A leader that has exited while its other threads live on can never stop; it
                // has no stack left to show either.
                if (tid == pid_ && IsDead(pid_, tid))
                    continue;
                if (ptrace(PTRACE_SEIZE, static_cast<pid_t>(tid), nullptr, nullptr) != 0) {
                    refused_.insert(tid, errno);
                    if (!result_.seizeError && errno != ESRCH)
                        result_.seizeError = errno;
                    continue;
                }
                if (seized_.empty())
                    start_ = NowMs();
                seized_.push_back({tid});
                index_.insert(tid, static_cast<int>(seized_.size() - 1));
                ptrace(PTRACE_INTERRUPT, static_cast<pid_t>(tid), nullptr, nullptr);
            }
            if (!added)
                break;
        }
    }

    // Collects stop reports without ever blocking: a thread in uninterruptible sleep, or one
    // that dies with its process, is simply not waited for past the deadline.
    void WaitForStops()
    {
        const double deadline = NowMs() + stopWithinMs_;
        int pending = static_cast<int>(seized_.size());
        long nap = 10 * 1000; // ns
        while (pending > 0 && NowMs() < deadline) {
            int status = 0;
            // __WNOTHREAD: only this thread's tracees, never a child of the viewer's own.
            const pid_t tid = waitpid(-1, &status, __WALL | __WNOTHREAD | WNOHANG);
            if (tid < 0 && errno == EINTR)
                continue;
            if (tid <= 0) {
                const timespec pause = {0, nap};
                nanosleep(&pause, nullptr);
                nap = std::min(nap * 2, 500L * 1000);
                continue;
            }
            nap = 10 * 1000;
            const auto it = index_.constFind(tid);
            if (it == index_.constEnd())
                continue;
            Seized &thread = seized_[*it];
            if (thread.state != Held::Pending)
                continue;
            --pending;
            if (WIFSTOPPED(status)) {
                thread.state = Held::Stopped;
                if ((status >> 16) == 0) // a signal-delivery stop: the signal is the target's
                    thread.signal = WSTOPSIG(status);
            } else {
                thread.state = Held::Gone;
                if (WIFSIGNALED(status)) {
                    // A fatal signal takes the whole process: stop at once.
                    result_.targetEnded = true;
                    return;
                }
            }
        }
    }

    // Registers and the live part of each stopped thread's stack: all the unwinder needs.
    void Copy()
    {
        for (Seized &thread : seized_) {
            if (thread.state != Held::Stopped)
                continue;
            CopiedThread copy;
            copy.tid = thread.tid;
            if (ptrace(PTRACE_GETREGS, static_cast<pid_t>(thread.tid), nullptr, &copy.regs) != 0) {
                thread.state = Held::Gone; // killed while stopped
                continue;
            }
            const uint64_t sp = copy.regs.rsp;
            uint64_t from = sp > kRedZone ? sp - kRedZone : 0;
            uint64_t to = sp + (thread.tid == pid_ ? kLeaderStackCopy : kThreadStackCopy);
            for (const Mapping &map : maps_) {
                if (sp >= map.start && sp < map.end) {
                    from = std::max(from, map.start);
                    to = std::min(to, map.end);
                    break;
                }
            }
            copy.stack.resize(static_cast<size_t>(to - from));
            iovec local = {copy.stack.data(), copy.stack.size()};
            iovec remote = {reinterpret_cast<void *>(from), copy.stack.size()};
            const ssize_t got =
                process_vm_readv(static_cast<pid_t>(pid_), &local, 1, &remote, 1, 0);
            copy.stack.resize(got > 0 ? static_cast<size_t>(got) : 0);
            copy.stackStart = from;
            result_.copied.push_back(std::move(copy));
        }
    }

    void Release()
    {
        for (const Seized &thread : seized_) {
            if (thread.state == Held::Stopped)
                ptrace(PTRACE_DETACH, static_cast<pid_t>(thread.tid), nullptr,
                       reinterpret_cast<void *>(static_cast<intptr_t>(thread.signal)));
        }
        if (!seized_.empty())
            result_.heldMs = NowMs() - start_;
    }

    // The kernel lets the remaining threads go as the tracer ends, a moment after it is joined.
    void WaitUntilUntraced()
    {
        const double deadline = NowMs() + 200;
        for (const Seized &thread : seized_) {
            if (thread.state == Held::Stopped)
                continue;
            while (NowMs() < deadline &&
                   TaskStatusField(pid_, thread.tid, "TracerPid:").toLongLong() == getpid())
                usleep(200);
        }
    }

    void ListLeftThreads()
    {
        for (auto it = refused_.constBegin(); it != refused_.constEnd(); ++it) {
            LeftThread left{it.key(), {}, {}};
            const long long tracer = TaskStatusField(pid_, it.key(), "TracerPid:").toLongLong();
            if (it.value() == ESRCH)
                left.reason = QStringLiteral("it ended during the capture");
            else if (tracer != 0)
                left.reason =
                    QStringLiteral("it is traced by process %1 (%2)")
                        .arg(QString::number(tracer),
                             QString::fromUtf8(
                                 ReadSmallFile(QStringLiteral("/proc/%1/comm").arg(tracer))
                                     .trimmed()));
            else
                left.reason = QStringLiteral("it could not be stopped: %1")
                                  .arg(QString::fromLocal8Bit(std::strerror(it.value())));
            result_.left.push_back(left);
        }
        for (const Seized &thread : seized_) {
            const bool taken =
                std::any_of(result_.copied.begin(), result_.copied.end(),
                            [&](const CopiedThread &c) { return c.tid == thread.tid; });
            if (taken)
                continue;
            LeftThread left{thread.tid, {}, {}};
            if (thread.state != Held::Pending) {
                left.reason = QStringLiteral("it ended during the capture");
            } else {
                const QByteArray state = TaskStatusField(pid_, thread.tid, "State:");
                const QByteArray wchan = TaskFile(pid_, thread.tid, "wchan").trimmed();
                left.reason =
                    QStringLiteral("it did not stop within %1 ms: state %2%3")
                        .arg(QString::number(stopWithinMs_), QString::fromUtf8(state),
                             wchan.isEmpty() || wchan == "0"
                                 ? QString()
                                 : QStringLiteral(", waiting in ") + QString::fromUtf8(wchan));
                for (const QByteArray &line : TaskFile(pid_, thread.tid, "stack").split('\n'))
                    if (!line.trimmed().isEmpty())
                        left.kernelStack << QString::fromUtf8(line.trimmed());
            }
            result_.left.push_back(left);
        }
    }

    const long long pid_;
    const int stopWithinMs_;
    std::vector<Mapping> maps_;
    std::vector<Seized> seized_;
    QHash<long long, int> index_;
    QHash<long long, int> refused_; // tid -> errno of its refused seize
    double start_ = 0;
    HoldResult result_;
};

} // namespace

HoldResult HoldAndCopy(long long pid, int stopWithinMs)
{
    return Tracer(pid, stopWithinMs).Run();
}
