#include "TargetHold.h"

#include "ProcInfo.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr uint64_t kRedZone = 128;                // below the stack pointer, still in use
constexpr uint64_t kLeaderStackCopy = 512 * 1024; // the main thread's stack runs deep
constexpr uint64_t kThreadStackCopy = 64 * 1024;
// The tracer's own stack, and how much longer than the hold it may take to seize and to end.
constexpr size_t kTracerStack = 256 * 1024;
constexpr int kTracerSpareMs = 850;

double NowMs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
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

// What the tracer finds out about one thread, in the viewer's memory. The outcome is
// written last, so a tracer killed half-way leaves nothing half-told.
enum class Outcome : int { Pending, Copied, Ended, Refused, Busy };

struct Entry {
    long long tid;
    volatile Outcome outcome;
    bool asked; // a stop was asked for
    int error;  // errno of a refused seize
    int signal; // a signal of the target's that arrived while held, handed back on release
    long long tracerTgid; // Busy: the process whose tracer held the thread
    char tracerName[32];
    bool jobStopped; // its stop was a group stop: it had been stopped before
    char wchan[48];  // where it slept just before the hold, if it did
    user_regs_struct regs;
    uint64_t stackStart, stackOffset, stackLength;
    uint64_t lockAddress; // a futex it sleeps on, 0 when none (or its words could not be read)
    uint32_t lockWords[4];
};

struct Shared {
    double startMs; // the first stop asked for; 0 when none was
    int count;
    int capacity;
    int seizeError;
    bool targetEnded;
    bool execed;
    uint64_t stackUsed;
    uint64_t stackCapacity;
    int lateStacks; // stacks left to be read after the release
    Entry entries[1];
};

// Everything the tracer child needs, set up by the viewer beforehand: the child allocates
// nothing (it runs in the viewer's memory beside the viewer's other threads, on a stack of its
// own, and only touches what is here).
struct TracerArgs {
    long long pid;
    int stopWithinMs;
    pid_t viewer;
    const Mapping *maps;
    size_t mapCount;
    Shared *shared;
    uint8_t *stackArea;
    long long *known;  // capacity: thread ids seen so far, sorted
    long long *listed; // capacity: this round's listing
};

// ---- the tracer child: system calls and plain memory only ----

// A small /proc file into buf (NUL-terminated); its length, or -1.
ssize_t ReadSmall(const char *path, char *buf, size_t size)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
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

// "/proc/<pid>[/task/<tid>]/<file>"
void ProcPath(char *out, long long pid, long long tid, const char *file)
{
    char *at = AppendNumber(out + std::strlen(std::strcpy(out, "/proc/")), pid);
    if (tid > 0)
        at = AppendNumber(std::strcpy(at, "/task/") + 6, tid);
    *at++ = '/';
    std::strcpy(at, file);
}

// The value after "key" in a status text, as a number; the text after it in name when asked.
long long StatusNumber(const char *status, const char *key, char *name = nullptr,
                       size_t nameSize = 0)
{
    const char *at = std::strstr(status, key);
    if (!at)
        return 0;
    at += std::strlen(key);
    while (*at == ' ' || *at == '\t')
        ++at;
    if (name) {
        size_t n = 0;
        while (at[n] && at[n] != '\n' && n + 1 < nameSize) {
            name[n] = at[n];
            ++n;
        }
        name[n] = '\0';
        return 0;
    }
    long long value = 0;
    while (*at >= '0' && *at <= '9')
        value = value * 10 + (*at++ - '0');
    return value;
}

char ThreadState(long long pid, long long tid)
{
    char path[96], stat[512];
    ProcPath(path, pid, tid, "stat");
    if (ReadSmall(path, stat, sizeof(stat)) <= 0)
        return 0;
    const char *close = std::strrchr(stat, ')');
    return close && close[1] == ' ' ? close[2] : 0;
}

class Tracer {
public:
    explicit Tracer(const TracerArgs &args) : a_(args), s_(*args.shared) {}

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
        const int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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
            const char state = ThreadState(a_.pid, tid);
            if (state == 'Z' || state == 'X')
                return;
        }
        Entry &e = s_.entries[s_.count];
        std::memset(&e, 0, sizeof(e));
        e.tid = tid;
        if (tid == a_.pid)
            leader_ = s_.count;
        for (int attempt = 0;; ++attempt) {
            if (ptrace(PTRACE_SEIZE, static_cast<pid_t>(tid), nullptr,
                       reinterpret_cast<void *>(PTRACE_O_TRACEEXEC)) == 0) {
                e.outcome = Outcome::Pending;
                ++pending_;
                ReadWaitChannel(e);
                break;
            }
            e.error = errno;
            if (e.error == ESRCH) {
                e.outcome = Outcome::Ended;
                break;
            }
            // Refused while another tracer holds the thread: name it now, it may be gone soon.
            // When it has let go already, the next attempt succeeds.
            if (e.error == EPERM && TracerOf(tid, &e)) {
                e.outcome = Outcome::Busy;
                break;
            }
            if (e.error != EPERM || attempt == 2) {
                if (!s_.seizeError)
                    s_.seizeError = e.error;
                e.outcome = Outcome::Refused;
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
            StatusNumber(status, "Name:", e->tracerName, sizeof(e->tracerName));
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
            Entry &e = s_.entries[i];
            if (e.outcome != Outcome::Pending)
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
            Entry &e = s_.entries[cursor_];
            if (e.outcome != Outcome::Pending)
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
            e.outcome = Outcome::Ended;
            return true;
        }
        return false;
    }

    void Report(Entry &e, int status)
    {
        if (!WIFSTOPPED(status)) {
            // A thread killed by a signal means the whole process dies: stop at once.
            pending_ -= e.outcome == Outcome::Pending;
            e.outcome = Outcome::Ended;
            s_.targetEnded = s_.targetEnded || WIFSIGNALED(status);
            return;
        }
        if ((status >> 16) == PTRACE_EVENT_EXEC) {
            s_.execed = true; // registers from the new program, maps from the old: stop
            return;
        }
        if (e.outcome != Outcome::Pending)
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
            e.outcome = Outcome::Ended; // killed while stopped
            return;
        }
        const uint64_t sp = e.regs.rsp;
        uint64_t from = sp > kRedZone ? sp - kRedZone : 0;
        uint64_t to = sp + (e.tid == a_.pid ? kLeaderStackCopy : kThreadStackCopy);
        const Mapping *end = a_.maps + a_.mapCount;
        const Mapping *map = std::upper_bound(
            a_.maps, end, sp, [](uint64_t at, const Mapping &m) { return at < m.end; });
        if (map != end && sp >= map->start) {
            from = std::max(from, map->start);
            to = std::min(to, map->end);
        }
        // The futex words a sleeping thread waits on are read with the stacks: whose mutex it
        // is comes from them.
        if (e.regs.orig_rax == SYS_futex && AsleepInSystemCall(e.regs))
            e.lockAddress = e.regs.rdi;
        // The stack itself is read later, all threads in a few calls (see ReadStacks): here
        // its place is only set aside.
        const uint64_t room = s_.stackCapacity - s_.stackUsed;
        e.stackStart = from;
        e.stackOffset = s_.stackUsed;
        e.stackLength = std::min(to > from ? to - from : 0, room);
        s_.stackUsed += (e.stackLength + 15) & ~uint64_t(15);
        e.outcome = Outcome::Copied;
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
                Entry &e = s_.entries[i];
                if (e.outcome == Outcome::Pending && e.asked)
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
            Report(s_.entries[leader_], status); // the leader's own report
    }

    bool OnlyUninterruptibleLeft() const
    {
        for (int i = 0; i < s_.count; ++i) {
            const Entry &e = s_.entries[i];
            if (e.outcome == Outcome::Pending && e.asked && ThreadState(a_.pid, e.tid) != 'D')
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
                if (!piece(s_.entries[i], &local[n], &remote[n]))
                    continue;
                index[n++] = i;
                if (n < kBatch)
                    continue;
            }
            for (int at = 0; at < n;) {
                ssize_t got = process_vm_readv(static_cast<pid_t>(a_.pid), local + at, n - at,
                                               remote + at, n - at, 0);
                if (got < 0) {
                    cut(s_.entries[index[at++]], -1);
                    continue;
                }
                while (at < n && got >= static_cast<ssize_t>(local[at].iov_len))
                    got -= static_cast<ssize_t>(local[at++].iov_len);
                if (at < n)
                    cut(s_.entries[index[at++]], got);
            }
            n = 0;
        }
    }

    // The words at each futex a thread sleeps on, while the owner written there still holds.
    void ReadLockWords()
    {
        ReadInBatches(
            [](Entry &e, iovec *local, iovec *remote) {
                if (e.outcome != Outcome::Copied || e.lockAddress == 0)
                    return false;
                *local = {e.lockWords, sizeof(e.lockWords)};
                *remote = {reinterpret_cast<void *>(e.lockAddress), sizeof(e.lockWords)};
                return true;
            },
            [](Entry &e, ssize_t) { e.lockAddress = 0; }); // words read in part tell nothing
    }

    // The stacks of every stopped thread. A stack that cannot be read in full keeps what was
    // read. Stacks not read by the deadline are read from the live process after the threads
    // are let go (the viewer says how many).
    void ReadStacks()
    {
        const double until = s_.startMs + a_.stopWithinMs - 5;
        ReadInBatches(
            [this, until](Entry &e, iovec *local, iovec *remote) {
                if (e.outcome != Outcome::Copied || e.stackLength == 0)
                    return false;
                if (NowMs() >= until) {
                    e.stackLength = 0;
                    ++s_.lateStacks;
                    return false;
                }
                *local = {a_.stackArea + e.stackOffset, static_cast<size_t>(e.stackLength)};
                *remote = {reinterpret_cast<void *>(e.stackStart),
                           static_cast<size_t>(e.stackLength)};
                return true;
            },
            [](Entry &e, ssize_t got) {
                e.stackLength = got > 0 ? static_cast<uint64_t>(got) : 0;
            });
    }

    // Threads holding a signal of the target's are detached one by one, the signal handed
    // back. All others are let go together by the kernel as the tracer ends.
    void Release()
    {
        for (int i = 0; i < s_.count; ++i) {
            const Entry &e = s_.entries[i];
            if (e.outcome == Outcome::Copied && e.signal != 0)
                ptrace(PTRACE_DETACH, static_cast<pid_t>(e.tid), nullptr,
                       reinterpret_cast<void *>(static_cast<intptr_t>(e.signal)));
        }
    }

    const TracerArgs &a_;
    Shared &s_;
    int pending_ = 0; // seized threads whose stop has not been reported
    int cursor_ = 0;
    int leader_ = -1; // the leader's entry
    double deadline_ = 0;
};

// Not instrumented by the address sanitizer: it runs on a stack the sanitizer does not know
// and ends with _exit, which it would warn about.
__attribute__((no_sanitize("address"))) int TracerMain(void *arg)
{
    const TracerArgs &args = *static_cast<const TracerArgs *>(arg);
    // Should the viewer die, so does the tracer, and the target goes free.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != args.viewer)
        _exit(1);
    // The name another viewer that meets this one reports.
    prctl(PR_SET_NAME, "norva-tracer", 0, 0, 0);
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

// ---- the viewer's side ----

// Memory the tracer fills in (it shares the viewer's memory): the entries, then the stack
// copies. The part that typical stacks fill is made ready beforehand, so the hold does not pay
// for first touches; the rest is taken only if written.
class SharedArea {
public:
    explicit SharedArea(int capacity)
    {
        const size_t entries = sizeof(Shared) + sizeof(Entry) * static_cast<size_t>(capacity);
        head_ = (entries + 4095) & ~size_t(4095);
        const uint64_t stacks =
            kThreadStackCopy * static_cast<uint64_t>(capacity) + kLeaderStackCopy;
        size_ = head_ + stacks;
        void *at = mmap(nullptr, size_, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (at == MAP_FAILED)
            return;
        base_ = static_cast<uint8_t *>(at);
        const size_t typical = head_ + kLeaderStackCopy + kTypicalStack * capacity / 2;
        madvise(base_, std::min(typical, size_), MADV_POPULATE_WRITE);
        shared()->capacity = capacity;
        shared()->stackCapacity = stacks;
    }
    ~SharedArea()
    {
        if (base_)
            munmap(base_, size_);
    }
    bool ok() const { return base_ != nullptr; }
    Shared *shared() const { return reinterpret_cast<Shared *>(base_); }
    uint8_t *stacks() const { return base_ + head_; }

private:
    static constexpr size_t kTypicalStack = 16 * 1024;
    uint8_t *base_ = nullptr;
    size_t head_ = 0, size_ = 0;
};

// Runs the tracer child and waits for it, at most until its deadline: past that the child is
// killed, which lets go of every thread it held. False when no tracer could be started.
bool RunTracer(TracerArgs *args, int budgetMs)
{
    void *stack = mmap(nullptr, kTracerStack, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (stack == MAP_FAILED)
        return false;
    int ended[2];
    if (pipe2(ended, O_CLOEXEC) != 0) {
        munmap(stack, kTracerStack);
        return false;
    }
    // A process of its own (another viewer that stops our threads does not stop it) in our
    // memory (nothing to copy on the way in or to tear down on the way out, which would hold
    // the target longer). Untraced: should a tracer of this viewer follow its children, the
    // target is still held by a process that nobody else stops.
    const pid_t child = clone(TracerMain, static_cast<uint8_t *>(stack) + kTracerStack,
                              CLONE_VM | CLONE_UNTRACED | SIGCHLD, args);
    close(ended[1]);
    if (child < 0) {
        close(ended[0]);
        munmap(stack, kTracerStack);
        return false;
    }
    // The write end closes when the child ends, whichever way.
    const double deadline = NowMs() + budgetMs;
    bool finished = false;
    for (;;) {
        pollfd waitFor = {ended[0], POLLIN, 0};
        const int left = static_cast<int>(deadline - NowMs());
        if (left <= 0)
            break;
        const int rc = poll(&waitFor, 1, left);
        if (rc < 0 && errno == EINTR)
            continue;
        finished = rc > 0;
        break;
    }
    close(ended[0]);
    if (!finished)
        kill(child, SIGKILL);
    int status = 0;
    while (waitpid(child, &status, __WALL) < 0 && errno == EINTR) {
    }
    munmap(stack, kTracerStack);
    return finished && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

LeftThread Left(long long pid, const Entry &e)
{
    LeftThread left;
    left.tid = e.tid;
    left.error = e.error;
    switch (e.outcome) {
    case Outcome::Ended:
    case Outcome::Copied:
        left.why = LeftWhy::Ended;
        break;
    case Outcome::Refused:
        left.why = e.error == ESRCH ? LeftWhy::Ended : LeftWhy::Refused;
        break;
    case Outcome::Busy:
        left.why = LeftWhy::Busy;
        left.tracer = e.tracerName[0]
                          ? QStringLiteral("%1 (%2)").arg(QString::number(e.tracerTgid),
                                                          QString::fromUtf8(e.tracerName))
                          : QString::number(e.tracerTgid);
        break;
    case Outcome::Pending:
        left.why = LeftWhy::NotStopped;
        left.state = TaskState(pid, e.tid);
        left.wchan = ReadTaskFile(pid, e.tid, "wchan").trimmed();
        for (const QByteArray &line : ReadTaskFile(pid, e.tid, "stack").split('\n'))
            if (!line.trimmed().isEmpty())
                left.kernelStack << QString::fromUtf8(line.trimmed());
        if (left.state == 0 || left.state == 'Z' || left.state == 'X')
            left.why = LeftWhy::Ended;
        break;
    }
    return left;
}

} // namespace

bool AsleepInSystemCall(const user_regs_struct &regs)
{
    // The kernel's codes for a call to be restarted after the stop: ERESTARTSYS,
    // ERESTARTNOINTR, ERESTARTNOHAND and ERESTART_RESTARTBLOCK.
    const long long result = static_cast<long long>(regs.rax);
    return static_cast<long long>(regs.orig_rax) >= 0 &&
           (result == -512 || result == -513 || result == -514 || result == -516);
}

HoldResult HoldAndCopy(long long pid, const QByteArray &maps, int stopWithinMs)
{
    HoldResult result;
    // Room for the threads there are now and as many again starting during the capture.
    const int capacity = std::max(ReadStatus(pid).threads, 1) * 2 + 256;
    SharedArea area(capacity);
    const std::vector<Mapping> mappings = WritableMappings(maps);
    std::vector<long long> known(static_cast<size_t>(capacity)),
        listed(static_cast<size_t>(capacity));
    if (!area.ok()) {
        result.tracerFailed = true;
        return result;
    }
    TracerArgs args = {pid,           stopWithinMs,  getpid(),     mappings.data(), mappings.size(),
                       area.shared(), area.stacks(), known.data(), listed.data()};
    result.tracerFailed = !RunTracer(&args, stopWithinMs + kTracerSpareMs);
    const double released = NowMs();

    const Shared &s = *area.shared();
    result.targetEnded = s.targetEnded;
    result.execed = s.execed;
    result.seizeError = s.seizeError;
    result.lateStacks = s.lateStacks;
    if (s.startMs > 0)
        result.heldMs = released - s.startMs;
    for (int i = 0; i < std::min(s.count, s.capacity); ++i) {
        const Entry &e = s.entries[i];
        if (e.outcome != Outcome::Copied || e.stackOffset + e.stackLength > s.stackCapacity) {
            result.left.push_back(Left(pid, e));
            continue;
        }
        CopiedThread copy;
        copy.tid = e.tid;
        copy.regs = e.regs;
        copy.stackStart = e.stackStart;
        copy.jobStopped = e.jobStopped;
        copy.lockWordsRead = e.lockAddress != 0;
        std::memcpy(copy.lockWords, e.lockWords, sizeof(copy.lockWords));
        if (AsleepInSystemCall(e.regs))
            copy.wchan = QByteArray(e.wchan).trimmed();
        const uint8_t *stack = area.stacks() + e.stackOffset;
        copy.stack.assign(stack, stack + e.stackLength);
        result.copied.push_back(std::move(copy));
    }
    return result;
}
