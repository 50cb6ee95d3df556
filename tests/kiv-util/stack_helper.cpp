// A target for the stack-capture tests and benchmark: N threads (argv[1], default 4) each wait
// in a chain of functions with known names; "ready" goes to stdout once all of them are in
// place, and the program ends when a line arrives on stdin (or stdin closes).
// With "churn" as argv[2] the N threads instead keep starting and ending short-lived threads
// and working in between, so captures meet threads that come and go.
// With "vfork MS" as argv[2..3] the main thread sits in vfork (uninterruptible) for MS ms while a
// heartbeat thread ticks every millisecond; the line "gap" on stdin prints the longest pause
// the heartbeat saw, in ms, and starts measuring afresh. "heartbeat" alone: the same without
// the vfork. "exec": the program starts itself anew every few milliseconds, from a thread
// other than the main one. "abba": two threads each hold one mutex and wait for the other's.
// "owner": three threads wait for a mutex that a fourth holds while it sleeps, and one waits on
// a condition variable. "self": a thread locks a mutex it holds. "pi": three threads each hold
// a priority-inheritance mutex and wait for the next one's; the system refuses the last lock.
// "exit MS": N threads keep busy, and the process ends (exit_group) MS ms after "ready".
// "churn-libs DIR": a thread loads and unloads DIR/libA.so and DIR/libB.so in turn.
// "interrupted": threads asleep in epoll_wait, sigtimedwait and io_uring_enter, and an io_uring
// worker of the kernel's waiting for a pipe.
// "deep [KIB]": a busy thread runs two KIB (160) KiB deep chains of calls, Deep<1..48>::A and
// ::B, in turn (on Windows it rests 1 ms at the bottom of each).
// Windows: "smash": a thread waits with its frame chain damaged (its frame register points near
// the top of the address space); "exit-held": the process ends the moment its main thread is
// seen suspended by someone else; "cs": two threads each hold a critical section and wait for
// the other's, and a third waits for the first one's.
// "undumpable": as without a mode, in a process that has made itself non-dumpable.
// "chain DIR N": a thread waits at the end of a chain of calls through the libraries
// DIR/lib0.so ... lib<N-1>.so, each exporting norva_chain.
// "wild KIB": N threads spin with a stack pointer in no mapping, beside a busy thread in the
// KIB deep chains of "deep".
// "calls [N]": threads that wait behind what a debugger puts together from the debug
// information: in sem_wait, at the end of a chain of tail calls, behind two chains of tail
// calls that part and meet again, in a packaged task and an async call that wait on a
// condition variable with a lambda; the main thread waits N (5000) calls deep. On Windows the
// two chains of tail calls and the deep main thread only.
// "altstack": the main thread runs two chains of calls, alt_a1..a3 and alt_b1..b3, in turn, and
// a timer's signal every few milliseconds runs a handler on an alternate stack for about one.
// "two-files DIR": a thread waits in DIR/lib.so's norva_first; after the line "next" the
// library is loaded again by another spelling of its path (whatever file is there now), and a
// second thread waits in its norva_second.
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#if !defined(_WIN32)
#include <alloca.h>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <future>
#include <linux/io_uring.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>
#endif
#include <vector>
#if defined(_WIN32)
#include <malloc.h>
#include <pthread.h>
#include <windows.h>
#endif

namespace {

std::mutex g_lock;
std::condition_variable g_changed;
std::condition_variable g_arrived; // only the main thread waits here: the others stay put
int g_waiting = 0;
bool g_quit = false;

struct Lecture {
    int id;
};

__attribute__((noinline)) void norva_wait_here()
{
    std::unique_lock<std::mutex> guard(g_lock);
    ++g_waiting;
    g_arrived.notify_one();
    g_changed.wait(guard, [] { return g_quit; });
}

template <typename T> __attribute__((noinline)) void WaitInVector(std::vector<T> &values)
{
    values.push_back(T());
    norva_wait_here();
    asm volatile("" ::: "memory");
}

} // namespace

// Deliberately an operator, to see its name come through intact.
__attribute__((noinline)) std::ostream &operator<<(std::ostream &out, const Lecture &lecture)
{
    std::vector<int> values{lecture.id};
    WaitInVector(values);
    asm volatile("" ::: "memory");
    return out;
}

// A C name: shown as it is, never read as a mangled one.
extern "C" __attribute__((noinline)) void h(int id)
{
    std::ostream null(nullptr);
    null << Lecture{id};
    asm volatile("" ::: "memory");
}

namespace {

__attribute__((noinline)) void norva_thread_body(int id)
{
    h(id);
    asm volatile("" ::: "memory");
}

} // namespace

std::atomic<bool> g_stopChurn{false};

__attribute__((noinline)) void norva_churn_body()
{
    volatile unsigned sink = 0;
    while (!g_stopChurn) {
        std::thread shortLived([&sink] {
            for (int i = 0; i < 2000; ++i)
                sink = sink + static_cast<unsigned>(i);
        });
        shortLived.join();
        for (int i = 0; i < 20000; ++i)
            sink = sink + static_cast<unsigned>(i);
    }
}

#if !defined(_WIN32)
std::atomic<long long> g_longestGapUs{0};

[[noreturn]] void HeartbeatAndVfork(int count, int vforkMs)
{
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i)
        threads.emplace_back(norva_thread_body, i);
    std::thread([] {
        using Clock = std::chrono::steady_clock;
        auto last = Clock::now();
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const auto now = Clock::now();
            const long long gap =
                std::chrono::duration_cast<std::chrono::microseconds>(now - last).count();
            if (gap > g_longestGapUs)
                g_longestGapUs = gap;
            last = now;
        }
    }).detach();
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200)); // main is in vfork now
        g_longestGapUs = 0;
        std::printf("ready\n");
        std::fflush(stdout);
        for (std::string line; std::getline(std::cin, line) && line == "gap";) {
            std::printf("%.1f\n", g_longestGapUs.exchange(0) / 1000.0);
            std::fflush(stdout);
        }
        _exit(0);
    }).detach();
    if (vforkMs > 0 && vfork() == 0) {
        usleep(static_cast<useconds_t>(vforkMs) * 1000);
        _exit(0);
    }
    for (;;)
        pause();
}
#endif

#if defined(_WIN32)
// Says "ready" and ends at the first line on stdin.
[[noreturn]] void ReadyUntilALine()
{
    std::printf("ready\n");
    std::fflush(stdout);
    std::string line;
    std::getline(std::cin, line);
    ExitProcess(0);
}

#if defined(_WIN64)
// Waits for ever in Sleep with its frame register pointing 8 bytes below the top of the
// address space: the unwind information says its frame is found through that register, so a
// walker that follows it reads 8 bytes at 0xfffffffffffffff8, the last 8 of the address space.
extern "C" void norva_smashed_frame();
asm(".globl norva_smashed_frame\n"
    ".def norva_smashed_frame; .scl 2; .type 32; .endef\n"
    ".seh_proc norva_smashed_frame\n"
    "norva_smashed_frame:\n"
    "  push %rbp\n"
    "  .seh_pushreg %rbp\n"
    "  mov %rsp, %rbp\n"
    "  .seh_setframe %rbp, 0\n"
    "  sub $32, %rsp\n"
    "  .seh_stackalloc 32\n"
    "  .seh_endprologue\n"
    "  movabs $0xfffffffffffffff8, %rbp\n"
    "1:\n"
    "  mov $1000, %ecx\n"
    "  call *__imp_Sleep(%rip)\n"
    "  jmp 1b\n"
    ".seh_endproc\n");
#endif

CRITICAL_SECTION g_sections[2];
std::atomic<int> g_entered{0};

__attribute__((noinline)) void norva_enter_both(int mine)
{
    EnterCriticalSection(&g_sections[mine]);
    ++g_entered;
    while (g_entered < 2)
        Sleep(1);
    EnterCriticalSection(&g_sections[1 - mine]);
}

// Two threads deadlocked on each other's critical section, a third waiting for one of them.
[[noreturn]] void DeadlockOnCriticalSections()
{
    InitializeCriticalSection(&g_sections[0]);
    InitializeCriticalSection(&g_sections[1]);
    std::thread(norva_enter_both, 0).detach();
    std::thread(norva_enter_both, 1).detach();
    while (g_entered < 2)
        Sleep(1);
    std::thread([] { EnterCriticalSection(&g_sections[0]); }).detach();
    Sleep(300); // by then all three wait
    ReadyUntilALine();
}

// Windows: N threads wait as usual, and the process ends exitMs after "ready".
[[noreturn]] void WaitThenExit(int count, int exitMs)
{
    for (int i = 0; i < count; ++i)
        std::thread(norva_thread_body, i).detach();
    {
        std::unique_lock<std::mutex> guard(g_lock);
        g_arrived.wait(guard, [count] { return g_waiting == count; });
    }
    std::printf("ready\n");
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(exitMs));
    ExitProcess(0);
}

// N threads wait as usual; a watcher ends the process (all threads at once) the moment it sees
// the main thread suspended by someone else: a capture meets its end during the hold.
[[noreturn]] void ExitWhenHeld(int count, HANDLE main)
{
    for (int i = 0; i < count; ++i)
        std::thread(norva_thread_body, i).detach();
    {
        std::unique_lock<std::mutex> guard(g_lock);
        g_arrived.wait(guard, [count] { return g_waiting == count; });
    }
    std::thread([main] {
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
        for (;;) {
            const DWORD before = SuspendThread(main);
            ResumeThread(main);
            if (before != static_cast<DWORD>(-1) && before > 0)
                ExitProcess(0);
        }
    }).detach();
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;)
        Sleep(1000);
}
#endif

#if !defined(_WIN32)
// Returns once every thread but the calling one sleeps in the kernel: a thread that has said
// it is about to wait may not have got there yet.
void UntilTheOthersSleep()
{
    // As /proc names this thread, which in a PID namespace of our own differs from gettid().
    char link[64] = {};
    const ssize_t n = readlink("/proc/thread-self", link, sizeof(link) - 1);
    const std::string path(link, n > 0 ? static_cast<size_t>(n) : 0);
    const std::string self = path.substr(path.rfind('/') + 1);
    for (bool asleep = false; !asleep; std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
        asleep = true;
        DIR *tasks = opendir("/proc/self/task");
        while (dirent *task = tasks ? readdir(tasks) : nullptr) {
            if (task->d_name[0] == '.' || task->d_name == self)
                continue;
            const std::string path = "/proc/self/task/" + std::string(task->d_name) + "/stat";
            char state = 0;
            if (FILE *stat = std::fopen(path.c_str(), "r")) {
                if (std::fscanf(stat, "%*d (%*[^)]) %c", &state) != 1)
                    state = 0;
                std::fclose(stat);
            }
            asleep = asleep && (state == 'S' || state == 'D' || state == 0);
        }
        if (tasks)
            closedir(tasks);
    }
}

// Says "ready" and ends at the first line on stdin.
[[noreturn]] void ReadyUntilALine()
{
    std::printf("ready\n");
    std::fflush(stdout);
    std::string line;
    std::getline(std::cin, line);
    _exit(0);
}

// The same once the threads have had settleMs to get where they wait and sleep there.
[[noreturn]] void ReadyUntilALine(int settleMs)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(settleMs));
    UntilTheOthersSleep();
    ReadyUntilALine();
}
#endif

// Functions that end in a jump to the next (the helper is built -O1, which makes calls of them,
// and clang keeps its own counsel): none leaves a return address on the stack.
#if defined(__clang__)
#define NORVA_TAIL_CALLER __attribute__((noinline))
#else
#define NORVA_TAIL_CALLER __attribute__((noinline, noclone, optimize("optimize-sibling-calls")))
#endif
volatile int g_callsSink = 0;
#if !defined(_WIN32)
std::mutex g_callsLock;
std::condition_variable g_callsChanged;
#endif

NORVA_TAIL_CALLER int norva_tail_bottom(int x)
{
    // It may return (as far as the compiler knows): a call to it can be a jump.
#if defined(_WIN32)
    while (g_callsSink != -1)
        Sleep(1000);
#else
    std::unique_lock<std::mutex> lock(g_callsLock);
    g_callsChanged.wait(lock, [] { return g_callsSink == -1; });
#endif
    return x;
}
NORVA_TAIL_CALLER int norva_tail_middle(int x)
{
    return norva_tail_bottom(x + 1);
}
NORVA_TAIL_CALLER int norva_tail_top(int x)
{
    return norva_tail_middle(x * 3);
}
NORVA_TAIL_CALLER int norva_tail_shared(int x)
{
    return norva_tail_bottom(x + 2);
}
NORVA_TAIL_CALLER int norva_tail_left(int x)
{
    return norva_tail_shared(x - 1);
}
NORVA_TAIL_CALLER int norva_tail_right(int x)
{
    return norva_tail_shared(x + 5);
}
NORVA_TAIL_CALLER int norva_tail_fork(int x)
{
    if (x & 1)
        return norva_tail_left(x);
    return norva_tail_right(x * 7);
}

__attribute__((noinline)) int norva_recurse(int n)
{
    if (n <= 0) {
        if (g_callsSink != -2) {
#if defined(_WIN32)
            Sleep(300); // by then the others wait
            ReadyUntilALine();
#else
            ReadyUntilALine(300);
#endif
        }
        return 0;
    }
    int r = norva_recurse(n - 1);
    asm volatile("" : "+r"(r)); // a real return, not a loop the compiler made of it
    return r + 1;
}

#if defined(_WIN32)
[[noreturn]] void WaitBehindCalls(int depth)
{
    std::thread([] { g_callsSink = norva_tail_top(g_callsSink); }).detach();
    std::thread([] { g_callsSink = norva_tail_fork(g_callsSink); }).detach();
    norva_recurse(depth);
    std::abort();
}
#endif

#if !defined(_WIN32)
struct NorvaJob {
    int operator()(int x) const
    {
        std::unique_lock<std::mutex> lock(g_callsLock);
        g_callsChanged.wait(lock, [] { return false; });
        return x;
    }
};

[[noreturn]] void WaitBehindCalls(int depth)
{
    static sem_t never;
    sem_init(&never, 0, 0);
    std::thread([] {
        pthread_setname_np(pthread_self(), "norva-sem");
        sem_wait(&never);
    }).detach();
    std::thread([] {
        pthread_setname_np(pthread_self(), "norva-tail");
        g_callsSink = norva_tail_top(g_callsSink);
    }).detach();
    std::thread([] {
        pthread_setname_np(pthread_self(), "norva-fork");
        g_callsSink = norva_tail_fork(g_callsSink);
    }).detach();
    std::packaged_task<int(int)> job{NorvaJob{}};
    static std::future<int> jobResult = job.get_future();
    std::thread(std::move(job), 3).detach();
    static std::future<int> async = std::async(std::launch::async, [] {
        NorvaJob job;
        return job(4);
    });
    norva_recurse(depth);
    std::abort();
}

[[noreturn]] void ChainThroughLibraries(const std::string &dir, int count)
{
    using Chain = void (*)(void *const *, int, int);
    static std::vector<void *> chain;
    for (int i = 0; i < count; ++i) {
        void *library = dlopen((dir + "/lib" + std::to_string(i) + ".so").c_str(), RTLD_NOW);
        void *entry = library ? dlsym(library, "norva_chain") : nullptr;
        if (!entry) {
            std::fprintf(stderr, "%s\n", dlerror());
            _exit(1);
        }
        chain.push_back(entry);
    }
    std::thread([count] { reinterpret_cast<Chain>(chain[0])(chain.data(), 0, count); }).detach();
    ReadyUntilALine(200); // by then at the end of the chain
}
#endif

#if !defined(_WIN32)
// Sleeping threads, then the process ends: at the latest after exitMs, at once when its main
// thread is seen stopped by a tracer. The watcher starts last, so a tracer stopping the threads
// in order asks it last, and the end lands inside the hold rather than before or after it.
[[noreturn]] void SleepThenExit(int count, int exitMs)
{
    for (int i = 0; i < count; ++i)
        std::thread([] {
            for (;;)
                pause();
        }).detach();
    std::thread([] {
        const sched_param realTime = {1};
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &realTime); // where it may
        char path[64];
        std::snprintf(path, sizeof(path), "/proc/self/task/%d/stat", static_cast<int>(getpid()));
        const int fd = open(path, O_RDONLY | O_CLOEXEC);
        for (char stat[512];;) {
            const ssize_t n = pread(fd, stat, sizeof(stat) - 1, 0);
            stat[n > 0 ? n : 0] = 0;
            const char *close = std::strrchr(stat, ')');
            if (close && close[1] == ' ' && close[2] == 't')
                _exit(0);
        }
    }).detach();
    std::printf("ready\n");
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::milliseconds(exitMs));
    _exit(0);
}
#endif

// Two chains of 48 calls with frames of a 48th of the depth asked for each (160 KiB deep:
// about 3 KiB frames), run one after the other by a busy thread: a capture sees one chain or the
// other, never a mix of both.
size_t g_frameBytes = 4096;
constexpr int kDeepCalls = 48;

// Most of the time at the bottom, where the whole depth is on the stack.
__attribute__((noinline)) void AtTheBottom()
{
#if defined(_WIN32)
    Sleep(1);
#else
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(300);
    while (std::chrono::steady_clock::now() < until)
        asm volatile("" ::: "memory");
#endif
    asm volatile("" ::: "memory");
}

template <int N> struct Deep {
    __attribute__((noinline)) static void A(volatile unsigned *sink)
    {
        auto *frame = static_cast<volatile char *>(alloca(g_frameBytes));
        frame[g_frameBytes - 1] = static_cast<char>(N);
        Deep<N + 1>::A(sink);
        *sink = *sink + static_cast<unsigned>(frame[g_frameBytes - 1]);
    }
    __attribute__((noinline)) static void B(volatile unsigned *sink)
    {
        auto *frame = static_cast<volatile char *>(alloca(g_frameBytes));
        frame[g_frameBytes - 1] = static_cast<char>(N);
        Deep<N + 1>::B(sink);
        *sink = *sink + static_cast<unsigned>(frame[g_frameBytes - 1]) + 1;
    }
};
template <> struct Deep<kDeepCalls + 1> {
    static void A(volatile unsigned *sink)
    {
        AtTheBottom();
        *sink = *sink + 1;
    }
    static void B(volatile unsigned *sink)
    {
        AtTheBottom();
        *sink = *sink + 2;
    }
};

[[noreturn]] void ReadyUntilALine();

[[noreturn]] void BusyDeepStacks(size_t kib)
{
    g_frameBytes = kib * 1024 / kDeepCalls;
    // Room for the deepest asked for, on top of what the thread needs of its own.
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kib * 1024 + (1 << 20));
    pthread_t busy;
    pthread_create(
        &busy, &attr,
        [](void *) -> void * {
            volatile unsigned sink = 0;
            for (;;) {
                Deep<1>::A(&sink);
                Deep<1>::B(&sink);
            }
        },
        nullptr);
    ReadyUntilALine();
}

#if !defined(_WIN32)
// Threads asleep in calls that a stop ends early with EINTR: epoll_wait, sigtimedwait, and
// io_uring_enter waiting for a read that one of io_uring's own workers waits for in turn.
void SleepInCallsThatEndEarly()
{
    std::thread([] {
        pthread_setname_np(pthread_self(), "norva-epoll");
        const int poll = epoll_create1(EPOLL_CLOEXEC);
        epoll_event event;
        for (;;)
            epoll_wait(poll, &event, 1, -1);
    }).detach();
    std::thread([] {
        pthread_setname_np(pthread_self(), "norva-sigwait");
        sigset_t wanted;
        sigemptyset(&wanted);
        sigaddset(&wanted, SIGUSR2);
        pthread_sigmask(SIG_BLOCK, &wanted, nullptr);
        const timespec hour = {3600, 0};
        for (;;)
            sigtimedwait(&wanted, nullptr, &hour);
    }).detach();
    std::thread([] {
        pthread_setname_np(pthread_self(), "norva-uring");
        io_uring_params params = {};
        const int ring = static_cast<int>(syscall(__NR_io_uring_setup, 4, &params));
        int never[2];
        if (ring < 0 || pipe(never) != 0)
            return;
        auto *rings = static_cast<char *>(mmap(nullptr, params.sq_off.array + params.sq_entries * 4,
                                               PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE,
                                               ring, IORING_OFF_SQ_RING));
        auto *entries = static_cast<io_uring_sqe *>(
            mmap(nullptr, params.sq_entries * sizeof(io_uring_sqe), PROT_READ | PROT_WRITE,
                 MAP_SHARED | MAP_POPULATE, ring, IORING_OFF_SQES));
        static char byte;
        io_uring_sqe &entry = entries[0];
        std::memset(&entry, 0, sizeof(entry));
        entry.opcode = IORING_OP_READ;
        entry.flags = IOSQE_ASYNC; // a worker of the kernel's waits for the pipe
        entry.fd = never[0];
        entry.addr = reinterpret_cast<uint64_t>(&byte);
        entry.len = 1;
        auto *tail = reinterpret_cast<unsigned *>(rings + params.sq_off.tail);
        const unsigned mask = *reinterpret_cast<unsigned *>(rings + params.sq_off.ring_mask);
        reinterpret_cast<unsigned *>(rings + params.sq_off.array)[*tail & mask] = 0;
        __atomic_store_n(tail, *tail + 1, __ATOMIC_RELEASE);
        syscall(__NR_io_uring_enter, ring, 1, 0, 0, nullptr, 0);
        for (;;)
            syscall(__NR_io_uring_enter, ring, 0, 1, IORING_ENTER_GETEVENTS, nullptr, 0);
    }).detach();
}
#endif

#if !defined(_WIN32)
// A thread that loads DIR/libA.so, runs its aaaa_spin, unloads it, then the same with libB.so
// and bbbb_spin, over and over: two libraries of one layout take turns at the same addresses.
[[noreturn]] void ChurnLibraries(const std::string &dir)
{
    std::thread([dir] {
        for (;;) {
            for (const char *name : {"A", "B"}) {
                void *library = dlopen((dir + "/lib" + name + ".so").c_str(), RTLD_NOW);
                void *spin =
                    library ? dlsym(library, name[0] == 'A' ? "aaaa_spin" : "bbbb_spin") : nullptr;
                if (!spin)
                    _exit(1);
                reinterpret_cast<void (*)()>(spin)();
                dlclose(library);
            }
        }
    }).detach();
    ReadyUntilALine();
}
#endif

#if !defined(_WIN32)
// A new program every few milliseconds, started by a thread other than the main one: its
// threads wait as usual in between.
[[noreturn]] void ExecAgainAndAgain(int count, char **argv)
{
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i)
        threads.emplace_back(norva_thread_body, i);
    if (std::getenv("NORVA_HELPER_READY") == nullptr) {
        setenv("NORVA_HELPER_READY", "1", 1);
        std::printf("ready\n");
        std::fflush(stdout);
    }
    std::thread([argv] {
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        execv("/proc/self/exe", argv);
        _exit(1);
    }).detach();
    for (;;)
        pause();
}
#endif

#if !defined(_WIN32)
std::mutex g_first, g_second;
std::atomic<int> g_locked{0};

__attribute__((noinline)) void norva_lock_both(const char *name, std::mutex &mine,
                                               std::mutex &theirs)
{
    pthread_setname_np(pthread_self(), name);
    std::lock_guard<std::mutex> own(mine);
    ++g_locked;
    while (g_locked < 2)
        std::this_thread::yield();
    std::lock_guard<std::mutex> other(theirs);
    asm volatile("" ::: "memory");
}

pthread_mutex_t g_pi[3];

__attribute__((noinline)) void norva_lock_pi(int i)
{
    const char *names[] = {"norva-pi-a", "norva-pi-b", "norva-pi-c"};
    pthread_setname_np(pthread_self(), names[i]);
    pthread_mutex_lock(&g_pi[i]);
    ++g_locked;
    while (g_locked < 3)
        std::this_thread::yield();
    // The last one closes the cycle only once the others wait.
    std::this_thread::sleep_for(std::chrono::milliseconds(i == 2 ? 150 : 10 * i));
    pthread_mutex_lock(&g_pi[(i + 1) % 3]);
}

void StartLockCase(const std::string &mode)
{
    if (mode == "self") {
        std::thread([] {
            pthread_setname_np(pthread_self(), "norva-self");
            static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
            pthread_mutex_lock(&lock);
            pthread_mutex_lock(&lock);
        }).detach();
        return;
    }
    pthread_mutexattr_t pi;
    pthread_mutexattr_init(&pi);
    pthread_mutexattr_setprotocol(&pi, PTHREAD_PRIO_INHERIT);
    for (pthread_mutex_t &lock : g_pi)
        pthread_mutex_init(&lock, &pi);
    for (int i = 0; i < 3; ++i)
        std::thread(norva_lock_pi, i).detach();
}

[[noreturn]] void WaitOnLocks(const std::string &mode)
{
    if (mode == "self" || mode == "pi") {
        StartLockCase(mode);
    } else if (mode == "abba") {
        std::thread(norva_lock_both, "norva-abba-a", std::ref(g_first), std::ref(g_second))
            .detach();
        std::thread(norva_lock_both, "norva-abba-b", std::ref(g_second), std::ref(g_first))
            .detach();
    } else {
        std::thread([] {
            pthread_setname_np(pthread_self(), "norva-holder");
            std::lock_guard<std::mutex> held(g_first);
            ++g_locked;
            for (;;)
                pause();
        }).detach();
        while (g_locked < 1)
            std::this_thread::yield();
        for (int i = 0; i < 3; ++i)
            std::thread([] {
                pthread_setname_np(pthread_self(), "norva-waiter");
                std::lock_guard<std::mutex> wait(g_first);
            }).detach();
        std::thread([] {
            pthread_setname_np(pthread_self(), "norva-cond");
            std::unique_lock<std::mutex> guard(g_second);
            g_changed.wait(guard, [] { return false; });
        }).detach();
    }
    ReadyUntilALine(300); // by then all of them asleep
}
#endif

#if !defined(_WIN32)
// Threads whose stack pointer lies in no mapping (a corrupt thread, a hand-made context switch),
// spinning with every signal blocked (none could be delivered on such a stack).
[[noreturn]] void WildStackPointers(int count, size_t kib)
{
    for (int i = 0; i < count; ++i)
        std::thread([] {
            sigset_t all;
            sigfillset(&all);
            pthread_sigmask(SIG_BLOCK, &all, nullptr);
            asm volatile("mov $0x10000, %%rsp\n1: pause\n jmp 1b" ::: "memory");
        }).detach();
    BusyDeepStacks(kib);
}

long long NowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

__attribute__((noinline)) long long now_ms()
{
    asm volatile("" ::: "memory");
    return NowUs() / 1000;
}

// On the alternate stack: about a millisecond of work.
void OnTheAlternateStack(int)
{
    const long long until = NowUs() + 1000;
    while (NowUs() < until)
        now_ms();
}

volatile unsigned g_chainSink = 0;
__attribute__((noinline)) void alt_a3()
{
    for (int i = 0; i < 20000; ++i)
        g_chainSink = g_chainSink + 1;
}
__attribute__((noinline)) void alt_a2()
{
    alt_a3();
    asm volatile("" ::: "memory");
}
__attribute__((noinline)) void alt_a1()
{
    alt_a2();
    asm volatile("" ::: "memory");
}
__attribute__((noinline)) void alt_b3()
{
    for (int i = 0; i < 20000; ++i)
        g_chainSink = g_chainSink + 2;
}
__attribute__((noinline)) void alt_b2()
{
    alt_b3();
    asm volatile("" ::: "memory");
}
__attribute__((noinline)) void alt_b1()
{
    alt_b2();
    asm volatile("" ::: "memory");
}

[[noreturn]] void HandlerOnAnAlternateStack()
{
    // The signal is the busy thread's alone: every other thread blocks it.
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
    struct sigaction onAlarm = {};
    onAlarm.sa_handler = OnTheAlternateStack;
    onAlarm.sa_flags = SA_ONSTACK | SA_RESTART;
    sigemptyset(&onAlarm.sa_mask);
    sigaction(SIGALRM, &onAlarm, nullptr);
    std::thread([alarm] {
        static std::vector<char> stack(1 << 20);
        stack_t alternate = {};
        alternate.ss_sp = stack.data();
        alternate.ss_size = stack.size();
        sigaltstack(&alternate, nullptr);
        pthread_sigmask(SIG_UNBLOCK, &alarm, nullptr);
        sigevent event = {};
        event.sigev_notify = SIGEV_THREAD_ID;
        event.sigev_signo = SIGALRM;
        event._sigev_un._tid = static_cast<pid_t>(syscall(SYS_gettid));
        timer_t timer;
        const itimerspec every = {{0, 3'000'000}, {0, 3'000'000}};
        if (timer_create(CLOCK_MONOTONIC, &event, &timer) != 0 ||
            timer_settime(timer, 0, &every, nullptr) != 0)
            _exit(1);
        for (;;) {
            alt_a1();
            alt_b1();
        }
    }).detach();
    ReadyUntilALine();
}

// Two files mapped under one path: the library, then (after "next") whatever file is at its
// path then, loaded by another spelling of it.
[[noreturn]] void TwoFilesUnderOnePath(const std::string &dir)
{
    const auto start = [](const std::string &path, const char *function) {
        void *library = dlopen(path.c_str(), RTLD_NOW);
        void *entry = library ? dlsym(library, function) : nullptr;
        if (!entry) {
            std::fprintf(stderr, "%s\n", dlerror());
            _exit(1);
        }
        std::thread(reinterpret_cast<void (*)()>(entry)).detach();
    };
    start(dir + "/lib.so", "norva_first");
    std::printf("ready\n");
    std::fflush(stdout);
    std::string line;
    if (!std::getline(std::cin, line) || line != "next")
        _exit(0);
    start(dir + "/./lib.so", "norva_second");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::printf("loaded\n");
    std::fflush(stdout);
    std::getline(std::cin, line);
    _exit(0);
}
#endif

int main(int argc, char **argv)
{
    const int count = argc > 1 ? std::atoi(argv[1]) : 4;
#if !defined(_WIN32)
    if (argc > 2 && std::string(argv[2]) == "exec")
        ExecAgainAndAgain(count, argv);
#endif
    const bool churn = argc > 2 && std::string(argv[2]) == "churn";
    if (argc > 2 && std::string(argv[2]) == "calls")
        WaitBehindCalls(argc > 3 ? std::atoi(argv[3]) : 5000);
    if (argc > 2 && std::string(argv[2]) == "deep")
        BusyDeepStacks(argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 160);
#if defined(_WIN32)
    if (argc > 2 && std::string(argv[2]) == "exit-held") {
        HANDLE main = nullptr;
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &main, 0,
                        FALSE, DUPLICATE_SAME_ACCESS);
        ExitWhenHeld(count, main);
    }
    if (argc > 2 && std::string(argv[2]) == "cs")
        DeadlockOnCriticalSections();
    if (argc > 3 && std::string(argv[2]) == "exit")
        WaitThenExit(count, std::atoi(argv[3]));
#if defined(_WIN64)
    if (argc > 2 && std::string(argv[2]) == "smash") {
        std::thread(norva_smashed_frame).detach();
        Sleep(200); // there by now
        ReadyUntilALine();
    }
#endif
#endif
#if !defined(_WIN32)
    if (argc > 3 && std::string(argv[2]) == "vfork")
        HeartbeatAndVfork(count, std::atoi(argv[3]));
    if (argc > 2 && std::string(argv[2]) == "undumpable")
        prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    if (argc > 4 && std::string(argv[2]) == "chain")
        ChainThroughLibraries(argv[3], std::atoi(argv[4]));
    if (argc > 3 && std::string(argv[2]) == "exit")
        SleepThenExit(count, std::atoi(argv[3]));
    if (argc > 2 && std::string(argv[2]) == "heartbeat")
        HeartbeatAndVfork(count, 0);
    for (const char *mode : {"abba", "owner", "self", "pi"})
        if (argc > 2 && std::string(argv[2]) == mode)
            WaitOnLocks(mode);
    if (argc > 3 && std::string(argv[2]) == "churn-libs")
        ChurnLibraries(argv[3]);
    if (argc > 2 && std::string(argv[2]) == "wild")
        WildStackPointers(count, argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 2048);
    if (argc > 2 && std::string(argv[2]) == "altstack")
        HandlerOnAnAlternateStack();
    if (argc > 3 && std::string(argv[2]) == "two-files")
        TwoFilesUnderOnePath(argv[3]);
    if (argc > 2 && std::string(argv[2]) == "interrupted") {
        SleepInCallsThatEndEarly();
        ReadyUntilALine(300);
    }
#endif
    std::vector<std::thread> threads;
    if (churn) {
        for (int i = 0; i < count; ++i)
            threads.emplace_back(norva_churn_body);
        std::printf("ready\n");
        std::fflush(stdout);
        std::string line;
        std::getline(std::cin, line);
        g_stopChurn = true;
        for (std::thread &thread : threads)
            thread.join();
        return 0;
    }
    for (int i = 0; i < count; ++i)
        threads.emplace_back(norva_thread_body, i);
    {
        std::unique_lock<std::mutex> guard(g_lock);
        g_arrived.wait(guard, [count] { return g_waiting == count; });
    }
#if !defined(_WIN32)
    UntilTheOthersSleep();
#endif
    std::printf("ready\n");
    std::fflush(stdout);
    std::string line;
    std::getline(std::cin, line);
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_quit = true;
    }
    g_changed.notify_all();
    for (std::thread &thread : threads)
        thread.join();
    return 0;
}
