// The tracer child: seizes every thread of the target, interrupts them, copies registers and
// stacks into the shared area and lets them all go, within the deadline. It runs in the
// viewer's memory on a stack of its own, and on the thread-local storage of the viewer's thread
// that started it. What it may call: the C library's system-call wrappers (their errno lands in
// that thread's, which the viewer does not read while the child lives) and plain memory,
// ProcFiles' raw readers among them. What it must not: allocate, lock, or touch anything else
// kept per thread (stdio, Qt, the C++ runtime beyond this code): that state is the viewer's.
#include "ProcFiles.h"
#include "StackCopy.h"
#include "TracerShared.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tracer {

double NowMs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

namespace {

class Tracer {
public:
    explicit Tracer(const Args &args) : a_(args), s_(*args.shared), entries_(args.shared->entries())
    {
    }

    void Run()
    {
        Seize();
        Interrupt();
        StopAndCopy();
        ReadLockWords();
        ReadStacks();
        Release();
    }

private:
    // PTRACE_SEIZE for every thread, which stops none of them; threads started meanwhile are
    // picked up by listing again until no new one appears.
    void Seize()
    {
        int known = 0;
        for (int round = 0; round < 20; ++round) {
            const int listed = List();
            std::sort(a_.listed, a_.listed + listed);
            int added = 0;
            for (int i = 0; i < listed; ++i) {
                const long long tid = a_.listed[i];
                if ((i > 0 && a_.listed[i - 1] == tid) ||
                    std::binary_search(a_.known, a_.known + known, tid))
                    continue;
                if (known + added >= s_.capacity)
                    break;
                a_.known[known + added++] = tid;
                SeizeOne(tid);
            }
            if (added == 0)
                break;
            known += added;
            std::sort(a_.known, a_.known + known);
        }
    }

    int List()
    {
        char path[64];
        ProcPath(path, a_.pid, 0, "task");
        const int fd = OpenToRead(path, S_IFDIR);
        if (fd < 0)
            return 0;
        int count = 0;
        alignas(8) char buffer[16384];
        for (;;) {
            const long n = syscall(SYS_getdents64, fd, buffer, sizeof(buffer));
            if (n <= 0)
                break;
            for (long at = 0; at < n;) {
                // struct linux_dirent64: ino (8), off (8), reclen (2), type (1), name.
                unsigned short reclen;
                std::memcpy(&reclen, buffer + at + 16, sizeof(reclen));
                const char *name = buffer + at + 19;
                if (name[0] >= '0' && name[0] <= '9' && count < s_.capacity) {
                    long long tid = 0;
                    for (const char *c = name; *c >= '0' && *c <= '9'; ++c)
                        tid = tid * 10 + (*c - '0');
                    a_.listed[count++] = tid;
                }
                at += reclen;
            }
        }
        close(fd);
        return count;
    }

    void SeizeOne(long long tid)
    {
        // A leader that has exited while its other threads live on can never stop; it has no
        // stack left to show either.
        if (tid == a_.pid) {
            if (Exited(TaskState(a_.pid, tid)))
                return;
        }
        Entry &e = *new (&entries_[s_.count]) Entry(); // zeroed, outcome Pending
        e.tid = tid;
        if (tid == a_.pid)
            leader_ = s_.count;
        // The kernel's own workers in the process have no user-space stack to stop for.
        char path[96], stat[512];
        ProcPath(path, a_.pid, tid, "stat");
        const bool read = ReadSmall(path, stat, sizeof(stat)) > 0;
        const unsigned long long flags = read ? StatFlags(stat) : 0;
        if (read)
            StatName(stat, e.name, sizeof(e.name));
        if (flags & (kIoWorker | kUserWorker)) {
            e.ioWorker = (flags & kIoWorker) != 0;
            e.Set(Outcome::KernelWorker);
            ++s_.count;
            return;
        }
        for (int attempt = 0;; ++attempt) {
            if (ptrace(PTRACE_SEIZE, static_cast<pid_t>(tid), nullptr,
                       reinterpret_cast<void *>(PTRACE_O_TRACEEXEC)) == 0) {
                ++pending_;
                ReadWaitChannel(e);
                break;
            }
            e.error = errno;
            if (e.error == ESRCH) {
                e.Set(Outcome::Ended);
                break;
            }
            // Refused while another tracer holds the thread: name it now, it may be gone soon.
            // When it has let go already, the next attempt succeeds.
            if (e.error == EPERM && TracerOf(tid, &e)) {
                e.Set(Outcome::Busy);
                break;
            }
            if (e.error != EPERM || attempt == 2) {
                if (!s_.seizeError)
                    s_.seizeError = e.error;
                e.Set(Outcome::Refused);
                break;
            }
            sched_yield();
        }
        ++s_.count;
    }

    // Read before the hold: once stopped, every thread sleeps in the stop; and once let go, a
    // thread takes a moment to go back to sleep where it was.
    void ReadWaitChannel(Entry &e)
    {
        char path[96];
        ProcPath(path, a_.pid, e.tid, "wchan");
        ReadSmall(path, e.wchan, sizeof(e.wchan));
    }

    bool TracerOf(long long tid, Entry *e)
    {
        char path[96], status[2048];
        ProcPath(path, a_.pid, tid, "status");
        if (ReadSmall(path, status, sizeof(status)) <= 0)
            return false;
        const long long tracer = StatusNumber(status, "TracerPid:");
        if (tracer == 0)
            return false;
        ProcPath(path, tracer, 0, "status");
        e->tracerTgid = tracer;
        if (ReadSmall(path, status, sizeof(status)) > 0) {
            e->tracerTgid = StatusNumber(status, "Tgid:");
            StatusText(status, "Name:", e->tracerName, sizeof(e->tracerName));
        }
        return true;
    }

    // Seizing stops nothing; the hold begins here, and its deadline covers everything from
    // here to the last thread let go. Threads that have stopped already are copied between
    // the requests, so little is left to do once the last one is asked.
    void Interrupt()
    {
        s_.startMs = NowMs();
        // Stops are taken for two thirds of the deadline; the last third is for reading the
        // stacks and letting go, which with thousands of threads takes a while too.
        deadline_ = s_.startMs + a_.stopWithinMs * 2.0 / 3;
        int asked = 0;
        for (int i = 0; i < s_.count; ++i) {
            Entry &e = entries_[i];
            if (e.Get() != Outcome::Pending)
                continue;
            ptrace(PTRACE_INTERRUPT, static_cast<pid_t>(e.tid), nullptr, nullptr);
            e.asked = true;
            if (++asked % 32 == 0) {
                CollectInOrder();
                if (NowMs() >= deadline_ || s_.targetEnded || s_.execed)
                    return; // the rest are never asked: left running
            }
        }
    }

    // Takes the stops of the threads asked so far, in the order they were asked, up to the
    // first that has not stopped yet.
    void CollectInOrder()
    {
        for (; cursor_ < s_.count; ++cursor_) {
            Entry &e = entries_[cursor_];
            if (e.Get() != Outcome::Pending)
                continue;
            if (!e.asked || !Poll(e))
                return;
        }
    }

    // One thread's stop report, if it has one; waiting on one thread id takes the kernel's
    // single-task path, so the sweep costs the same for each thread however many there are.
    bool Poll(Entry &e)
    {
        int status = 0;
        pid_t got;
        do
            got = waitpid(static_cast<pid_t>(e.tid), &status, __WALL | WNOHANG);
        while (got < 0 && errno == EINTR);
        if (got == e.tid) {
            Report(e, status);
            return true;
        }
        if (got < 0 && errno == ECHILD) {
            // No longer ours: it ended, or it started a program and took the leader's id.
            --pending_;
            e.Set(Outcome::Ended);
            return true;
        }
        return false;
    }

    void Report(Entry &e, int status)
    {
        if (!WIFSTOPPED(status)) {
            // A thread killed by a signal means the whole process dies: stop at once.
            pending_ -= e.Get() == Outcome::Pending;
            e.Set(Outcome::Ended);
            s_.targetEnded = s_.targetEnded || WIFSIGNALED(status);
            return;
        }
        if ((status >> 16) == PTRACE_EVENT_EXEC) {
            s_.execed = true; // registers from the new program, maps from the old: stop
            return;
        }
        if (e.Get() != Outcome::Pending)
            return;
        --pending_;
        if ((status >> 16) == 0) // a signal-delivery stop: the signal is the target's
            e.signal = WSTOPSIG(status);
        // A group stop reports the signal that stopped the process; our interrupt, SIGTRAP.
        e.jobStopped = (status >> 16) == PTRACE_EVENT_STOP && WSTOPSIG(status) != SIGTRAP;
        Copy(e);
    }

    // Registers and the live part of a stopped thread's stack: all the unwinder needs.
    void Copy(Entry &e)
    {
        if (ptrace(PTRACE_GETREGS, static_cast<pid_t>(e.tid), nullptr, &e.regs) != 0) {
            e.Set(Outcome::Ended); // killed while stopped
            return;
        }
        const uint64_t sp = arch::StackPointer(e.regs);
        // From just below the stack pointer to the end of the mapping that holds it; a stack
        // pointer in no writable mapping (a corrupt thread, a hand-made context switch) has
        // nothing to copy and costs the pool nothing.
        const AddressRange *end = a_.maps + a_.mapCount;
        const AddressRange *map = std::upper_bound(
            a_.maps, end, sp, [](uint64_t at, const AddressRange &m) { return at < m.end; });
        e.stackStart = sp;
        e.stackLength = 0;
        if (map != end && sp >= map->start) {
            const uint64_t from =
                std::max(sp > arch::kRedZone ? sp - arch::kRedZone : 0, map->start);
            e.stackStart = from;
            e.stackLength = std::min(map->end - from, stackbudget::kMaxPerThread);
            e.stackLow = map->start;
            e.stackHigh = map->end;
        }
        // The futex words a sleeping thread waits on are read with the stacks: whose mutex it
        // is comes from them.
        if (arch::SyscallNumber(e.regs) == arch::kFutexCall && arch::AsleepInSystemCall(e.regs))
            e.lockAddress = arch::SyscallArg0(e.regs);
        // The stack itself is read later, all threads in a few calls (see ReadStacks), where
        // its place is set aside.
        e.Set(Outcome::Copied);
    }

    // Collects stop reports without ever blocking: a thread in uninterruptible sleep, or one
    // that dies with its process, is simply not waited for past the deadline.
    void StopAndCopy()
    {
        // Stops that are on their way arrive within a millisecond or so: yield the processor to
        // the threads that must run to stop, then nap longer and longer.
        const double yieldUntil = NowMs() + 2;
        double lookAt = NowMs() + 5;
        long nap = 20 * 1000; // ns
        while (pending_ > 0 && !s_.targetEnded && !s_.execed && NowMs() < deadline_) {
            bool progress = false;
            for (int i = 0; i < s_.count && !s_.targetEnded && !s_.execed; ++i) {
                Entry &e = entries_[i];
                if (e.Get() == Outcome::Pending && e.asked)
                    progress = Poll(e) || progress;
            }
            WatchLeader();
            if (progress) {
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

    // A thread that starts another program takes the leader's id and reports it there, even
    // when the leader had stopped already.
    void WatchLeader()
    {
        int status = 0;
        if (waitpid(static_cast<pid_t>(a_.pid), &status, __WALL | WNOHANG) !=
            static_cast<pid_t>(a_.pid))
            return;
        if (WIFSTOPPED(status) && (status >> 16) == PTRACE_EVENT_EXEC)
            s_.execed = true;
        else if (leader_ >= 0)
            Report(entries_[leader_], status); // the leader's own report
    }

    bool OnlyUninterruptibleLeft() const
    {
        for (int i = 0; i < s_.count; ++i) {
            const Entry &e = entries_[i];
            if (e.Get() == Outcome::Pending && e.asked && TaskState(a_.pid, e.tid) != 'D')
                return false;
        }
        return true;
    }

    // Many pieces of the target's memory in few system calls: the cost of reaching into the
    // target is paid once per call, not once per piece. piece(e, &local, &remote) names the
    // piece of entry e or returns false for none; cut(e, got) is told of a piece read only in
    // part (got bytes) or not at all (-1). The next call starts after such a piece.
    template <typename Piece, typename Cut> void ReadInBatches(Piece piece, Cut cut)
    {
        constexpr int kBatch = 256;
        iovec local[kBatch], remote[kBatch];
        int index[kBatch];
        int n = 0;
        for (int i = 0; i <= s_.count; ++i) {
            if (i < s_.count) {
                if (!piece(entries_[i], &local[n], &remote[n]))
                    continue;
                index[n++] = i;
                if (n < kBatch)
                    continue;
            }
            for (int at = 0; at < n;) {
                ssize_t got = process_vm_readv(static_cast<pid_t>(a_.pid), local + at, n - at,
                                               remote + at, n - at, 0);
                if (got < 0) {
                    cut(entries_[index[at++]], -1);
                    continue;
                }
                while (at < n && got >= static_cast<ssize_t>(local[at].iov_len))
                    got -= static_cast<ssize_t>(local[at++].iov_len);
                if (at < n)
                    cut(entries_[index[at++]], got);
            }
            n = 0;
        }
    }

    // The words at each futex a thread sleeps on, while the owner written there still holds.
    void ReadLockWords()
    {
        ReadInBatches(
            [](Entry &e, iovec *local, iovec *remote) {
                if (e.Get() != Outcome::Copied || e.lockAddress == 0)
                    return false;
                *local = {e.lockWords, sizeof(e.lockWords)};
                *remote = {reinterpret_cast<void *>(e.lockAddress), sizeof(e.lockWords)};
                return true;
            },
            [](Entry &e, ssize_t) { e.lockAddress = 0; }); // words read in part tell nothing
    }

    // The stacks of every stopped thread, each given its place as its turn comes: what lies
    // beyond a thread's own share comes from the pool, and what a read leaves unfilled goes back
    // to it before the next batch. A stack that cannot be read in full keeps what was read.
    // Stacks not read by the deadline stay unread (the viewer says how many): their walks end
    // at the registers.
    void ReadStacks()
    {
        const double until = s_.startMs + a_.stopWithinMs - 5;
        ReadInBatches(
            [this, until](Entry &e, iovec *local, iovec *remote) {
                if (e.Get() != Outcome::Copied || e.stackLength == 0)
                    return false;
                if (NowMs() >= until) {
                    e.stackLength = 0;
                    ++s_.lateStacks;
                    return false;
                }
                const uint64_t room =
                    s_.stackUsed < s_.stackCapacity ? s_.stackCapacity - s_.stackUsed : 0;
                const uint64_t granted =
                    std::min(stackbudget::Grant(e.stackLength, Own(e), &s_.poolLeft), room);
                e.stackOffset = s_.stackUsed;
                e.stackLength = granted;
                s_.stackUsed += (granted + 15) & ~uint64_t(15);
                if (granted == 0)
                    return false;
                *local = {a_.stackArea + e.stackOffset, static_cast<size_t>(e.stackLength)};
                *remote = {reinterpret_cast<void *>(e.stackStart),
                           static_cast<size_t>(e.stackLength)};
                return true;
            },
            [this](Entry &e, ssize_t got) {
                const uint64_t used = got > 0 ? static_cast<uint64_t>(got) : 0;
                stackbudget::GiveBack(e.stackLength, used, Own(e), &s_.poolLeft);
                e.stackLength = used;
            });
    }

    uint64_t Own(const Entry &e) const
    {
        return e.tid == a_.pid ? stackbudget::kMainThread : stackbudget::kThread;
    }

    // Threads holding a signal of the target's are detached one by one, the signal handed
    // back. All others are let go together by the kernel as the tracer ends.
    void Release()
    {
        for (int i = 0; i < s_.count; ++i) {
            const Entry &e = entries_[i];
            if (e.Get() == Outcome::Copied && e.signal != 0)
                ptrace(PTRACE_DETACH, static_cast<pid_t>(e.tid), nullptr,
                       reinterpret_cast<void *>(static_cast<intptr_t>(e.signal)));
        }
    }

    const Args &a_;
    Shared &s_;
    Entry *entries_;
    int pending_ = 0; // seized threads whose stop has not been reported
    int cursor_ = 0;
    int leader_ = -1; // the leader's entry
    double deadline_ = 0;
};

} // namespace

// Not instrumented by the address sanitizer: it runs on a stack the sanitizer does not know
// and ends with _exit, which it would warn about.
__attribute__((no_sanitize("address"))) int Main(void *arg)
{
    const Args &args = *static_cast<const Args *>(arg);
    // Should the viewer die, so does the tracer, and the target goes free.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != args.viewer)
        _exit(1);
    // The name another viewer that meets this one reports.
    prctl(PR_SET_NAME, "norva-tracer", 0, 0, 0);
    // Out of the viewer's process group, deaf to the terminal's stops: a ^Z (or any stop sent
    // to the viewer's job) must not stop the tracer while it holds the target.
    setpgid(0, 0);
    signal(SIGTSTP, SIG_IGN);
    signal(SIGTTIN, SIG_IGN);
    signal(SIGTTOU, SIG_IGN);
    // A last guard of our own: the tracer cannot outlive its deadline by much even when the
    // viewer cannot act (a debugger holds it).
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGALRM, SIG_DFL);
    itimerval limit = {};
    const int limitMs = args.stopWithinMs + kTracerSpareMs + 100;
    limit.it_value.tv_sec = limitMs / 1000;
    limit.it_value.tv_usec = (limitMs % 1000) * 1000;
    setitimer(ITIMER_REAL, &limit, nullptr);
    Tracer(args).Run();
    _exit(0);
}

} // namespace tracer
