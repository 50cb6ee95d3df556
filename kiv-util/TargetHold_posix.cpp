#include "TargetHold.h"

#include "ProcFiles.h"

#include <QHash>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <sched.h>
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

QByteArray TaskStatusField(long long pid, long long tid, const char *key)
{
    return StatusValue(ReadTaskFile(pid, tid, "status"), key);
}

bool IsDead(long long pid, long long tid)
{
    const char state = TaskState(pid, tid);
    return state == 'Z' || state == 'X' || state == 0;
}

// Stack mappings as they were just before the hold: the copy of a stack ends where its mapping
// does.
struct Mapping {
    uint64_t start, end;
};

std::vector<Mapping> WritableMappings(const QByteArray &mapsText)
{
    std::vector<Mapping> maps;
    for (const QByteArray &line : mapsText.split('\n')) {
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
    bool copied = false;
};

// Everything ptrace does here runs on one short-lived thread of ours, the tracer. When it ends,
// the kernel detaches every thread it still traces, including those that never stopped (which
// PTRACE_DETACH cannot release), so no path leaves the target traced or stopped.
class Tracer {
public:
    Tracer(long long pid, const QByteArray &maps, int stopWithinMs)
        : pid_(pid), stopWithinMs_(stopWithinMs), maps_(WritableMappings(maps))
    {
    }

    HoldResult Run()
    {
        std::thread tracer([this] {
            Seize();
            Interrupt();
            StopAndCopy();
            Release();
        });
        tracer.join();
        WaitUntilReleased();
        ListLeftThreads();
        return std::move(result_);
    }

private:
    // PTRACE_SEIZE for every thread, which stops none of them; threads started meanwhile are
    // picked up by listing again until no new one appears.
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
                seized_.push_back({tid});
                index_.insert(tid, static_cast<int>(seized_.size() - 1));
                ++pending_;
            }
            if (!added)
                break;
        }
    }

    // Seizing stops nothing; the hold begins here. Threads that have stopped already are
    // copied between the requests, so little is left to do once the last one is asked.
    void Interrupt()
    {
        start_ = NowMs();
        int asked = 0;
        for (const Seized &thread : seized_) {
            ptrace(PTRACE_INTERRUPT, static_cast<pid_t>(thread.tid), nullptr, nullptr);
            if (++asked % 8 == 0)
                CollectStops(false);
        }
    }

    // Collects stop reports without ever blocking, copying each thread as it stops: a thread
    // in uninterruptible sleep, or one that dies with its process, is simply not waited for
    // past the deadline.
    void StopAndCopy()
    {
        const double deadline = NowMs() + stopWithinMs_;
        // Stops that are on their way arrive within a millisecond or so: yield the processor to
        // the threads that must run to stop, then nap longer and longer.
        const double yieldUntil = NowMs() + 2;
        double lookAt = NowMs() + 5;
        long nap = 20 * 1000; // ns
        while (pending_ > 0 && !result_.targetEnded && NowMs() < deadline) {
            if (CollectStops(true)) {
                nap = 20 * 1000;
            } else if (NowMs() >= lookAt) {
                // Threads in uninterruptible sleep (a parent in vfork, hung I/O) stop only once
                // they leave it: when nothing else is outstanding, the others go free now.
                if (OnlyUninterruptibleLeft())
                    return;
                lookAt = NowMs() + 5;
            } else if (NowMs() < yieldUntil) {
                sched_yield();
            } else {
                const timespec pause = {0, nap};
                nanosleep(&pause, nullptr);
                nap = std::min(nap * 2, 500L * 1000);
            }
        }
    }

    bool OnlyUninterruptibleLeft() const
    {
        for (const Seized &thread : seized_)
            if (thread.state == Held::Pending && TaskState(pid_, thread.tid) != 'D')
                return false;
        return true;
    }

    // Takes every stop report there is now; true when there was one.
    bool CollectStops(bool untilEmpty)
    {
        bool any = false;
        for (;;) {
            int status = 0;
            // __WNOTHREAD: only this thread's tracees, never a child of the viewer's own.
            const pid_t tid = waitpid(-1, &status, __WALL | __WNOTHREAD | WNOHANG);
            if (tid < 0 && errno == EINTR)
                continue;
            if (tid <= 0)
                return any;
            any = true;
            const auto it = index_.constFind(tid);
            if (it != index_.constEnd())
                Report(&seized_[*it], status);
            if (result_.targetEnded || !untilEmpty)
                return any;
        }
    }

    void Report(Seized *thread, int status)
    {
        if (!WIFSTOPPED(status)) {
            // A thread killed by a signal means the whole process dies: stop at once. Nothing
            // then waits on a thread that can no longer stop.
            pending_ -= thread->state == Held::Pending;
            thread->state = Held::Gone;
            result_.targetEnded = result_.targetEnded || WIFSIGNALED(status);
            return;
        }
        if (thread->state != Held::Pending)
            return;
        --pending_;
        thread->state = Held::Stopped;
        if ((status >> 16) == 0) // a signal-delivery stop: the signal is the target's
            thread->signal = WSTOPSIG(status);
        Copy(thread);
    }

    // Registers and the live part of a stopped thread's stack: all the unwinder needs.
    void Copy(Seized *thread)
    {
        CopiedThread copy;
        copy.tid = thread->tid;
        if (ptrace(PTRACE_GETREGS, static_cast<pid_t>(thread->tid), nullptr, &copy.regs) != 0) {
            thread->state = Held::Gone; // killed while stopped
            return;
        }
        const uint64_t sp = copy.regs.rsp;
        uint64_t from = sp > kRedZone ? sp - kRedZone : 0;
        uint64_t to = sp + (thread->tid == pid_ ? kLeaderStackCopy : kThreadStackCopy);
        const auto map = std::upper_bound(maps_.begin(), maps_.end(), sp,
                                          [](uint64_t at, const Mapping &m) { return at < m.end; });
        if (map != maps_.end() && sp >= map->start) {
            from = std::max(from, map->start);
            to = std::min(to, map->end);
        }
        copy.stack.resize(static_cast<size_t>(to - from));
        iovec local = {copy.stack.data(), copy.stack.size()};
        iovec remote = {reinterpret_cast<void *>(from), copy.stack.size()};
        const ssize_t got = process_vm_readv(static_cast<pid_t>(pid_), &local, 1, &remote, 1, 0);
        copy.stack.resize(got > 0 ? static_cast<size_t>(got) : 0);
        copy.stackStart = from;
        result_.copied.push_back(std::move(copy));
        thread->copied = true;
    }

    // Threads holding a signal of the target's are detached one by one, the signal handed
    // back. All others are let go together by the kernel as the tracer thread ends, which is
    // quicker than one detach call each.
    void Release()
    {
        for (const Seized &thread : seized_) {
            if (thread.state == Held::Stopped && thread.signal != 0)
                ptrace(PTRACE_DETACH, static_cast<pid_t>(thread.tid), nullptr,
                       reinterpret_cast<void *>(static_cast<intptr_t>(thread.signal)));
        }
    }

    // The kernel lets the threads go as the tracer ends, a moment after it is joined: it frees
    // all of them in one sweep, so one thread seen free means all are.
    void WaitUntilReleased()
    {
        const double deadline = NowMs() + 200;
        for (const Seized &thread : seized_) {
            if (thread.state == Held::Gone || (thread.state == Held::Stopped && thread.signal))
                continue;
            while (NowMs() < deadline &&
                   TaskStatusField(pid_, thread.tid, "TracerPid:").toLongLong() != 0)
                sched_yield();
            break;
        }
        if (!seized_.empty())
            result_.heldMs = NowMs() - start_;
    }

    void ListLeftThreads()
    {
        for (auto it = refused_.constBegin(); it != refused_.constEnd(); ++it) {
            LeftThread left{it.key(), {}, {}};
            const long long tracer = TaskStatusField(pid_, it.key(), "TracerPid:").toLongLong();
            if (it.value() == ESRCH)
                left.reason = QStringLiteral("it ended during the capture");
            else if (tracer != 0)
                left.reason = QStringLiteral("it is traced by process %1 (%2)")
                                  .arg(QString::number(tracer),
                                       QString::fromUtf8(
                                           ReadProc("/proc/" + QByteArray::number(tracer) + "/comm")
                                               .trimmed()));
            else
                left.reason = QStringLiteral("it could not be stopped: %1")
                                  .arg(QString::fromLocal8Bit(std::strerror(it.value())));
            result_.left.push_back(left);
        }
        for (const Seized &thread : seized_) {
            if (thread.copied)
                continue;
            LeftThread left{thread.tid, {}, {}};
            if (thread.state != Held::Pending) {
                left.reason = QStringLiteral("it ended during the capture");
            } else {
                const QByteArray state = TaskStatusField(pid_, thread.tid, "State:");
                const QByteArray wchan = ReadTaskFile(pid_, thread.tid, "wchan").trimmed();
                left.reason =
                    QStringLiteral("it did not stop in time: state %1%2")
                        .arg(QString::fromUtf8(state),
                             wchan.isEmpty() || wchan == "0"
                                 ? QString()
                                 : QStringLiteral(", waiting in ") + QString::fromUtf8(wchan));
                for (const QByteArray &line : ReadTaskFile(pid_, thread.tid, "stack").split('\n'))
                    if (!line.trimmed().isEmpty())
                        left.kernelStack << QString::fromUtf8(line.trimmed());
            }
            result_.left.push_back(left);
        }
    }

    const long long pid_;
    const int stopWithinMs_;
    const std::vector<Mapping> maps_;
    std::vector<Seized> seized_;
    QHash<long long, int> index_;
    QHash<long long, int> refused_; // tid -> errno of its refused seize
    int pending_ = 0;               // seized threads whose stop has not been reported
    double start_ = 0;
    HoldResult result_;
};

} // namespace

HoldResult HoldAndCopy(long long pid, const QByteArray &maps, int stopWithinMs)
{
    return Tracer(pid, maps, stopWithinMs).Run();
}
