// Linux back end: every thread of the target is stopped together only long enough to copy its
// registers and live stack (TargetHold), then elfutils libdw walks the copies and names the
// addresses while the target runs on.
#include "DebugFiles.h"
#include "ProcInfo.h"
#include "StackCapture.h"
#include "TargetHold.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <elfutils/libdwfl.h>
#include <fcntl.h>
#include <libelf.h>
#include <linux/futex.h>
#include <sys/uio.h>
#include <sys/user.h>
#include <unistd.h>

namespace {

QString ThreadName(long long pid, long long tid)
{
    return QString::fromUtf8(ReadTaskFile(pid, tid, "comm").trimmed());
}

QString PermissionReason(long long pid, const ProcStatus &info)
{
    if (geteuid() != 0 && info.uid >= 0 && info.uid != static_cast<long long>(geteuid()))
        return QStringLiteral("Permission denied: process %1 belongs to another user (uid %2); "
                              "only that user or root may look at it.")
            .arg(pid)
            .arg(info.uid);
    const QByteArray scope = ReadProc("/proc/sys/kernel/yama/ptrace_scope").trimmed();
    if (scope == "1")
        return QStringLiteral("Permission denied by ptrace restrictions: kernel.yama.ptrace_scope "
                              "is 1, so only a parent may trace its children. Run as root, or set "
                              "it to 0.");
    if (scope == "2")
        return QStringLiteral("Permission denied by ptrace restrictions: kernel.yama.ptrace_scope "
                              "is 2, so only root may trace processes.");
    if (scope == "3")
        return QStringLiteral("Permission denied by ptrace restrictions: kernel.yama.ptrace_scope "
                              "is 3, so no process may be traced.");
    return QStringLiteral("Permission denied: tracing process %1 is not allowed here (it may be "
                          "privileged, or this program lacks CAP_SYS_PTRACE).")
        .arg(pid);
}

QString StartedAnotherProgram(long long pid)
{
    return QStringLiteral("Process %1 started another program during the capture, so its threads "
                          "and modules changed under it; capture it again.")
        .arg(pid);
}

QString AnotherCapture(const QString &tracer)
{
    return QStringLiteral("another program is capturing this process right now (process %1)")
        .arg(tracer);
}

// Why a thread has no stack, in words: the one place they are worded.
QString LeftReason(const LeftThread &left)
{
    switch (left.why) {
    case LeftWhy::Ended:
        return QStringLiteral("it ended during the capture");
    case LeftWhy::Busy:
        return AnotherCapture(left.tracer);
    case LeftWhy::Refused:
        return QStringLiteral("it could not be stopped: %1")
            .arg(QString::fromLocal8Bit(std::strerror(left.error)));
    case LeftWhy::NotStopped:
        break;
    }
    return QStringLiteral("it did not stop in time"); // its heading says where it was
}

// A thread's state as /proc words it, in ours.
QString StateWord(char state)
{
    switch (state) {
    case 'R':
        return QStringLiteral("running");
    case 'S':
    case 'I':
        return QStringLiteral("sleeping");
    case 'D':
        return QStringLiteral("disk sleep");
    case 'T':
    case 't':
        return QStringLiteral("stopped");
    default:
        return QString();
    }
}

QString WaitChannel(const QByteArray &wchan)
{
    return wchan == "0" ? QString() : QString::fromUtf8(wchan);
}

struct WalkContext {
    ThreadStack *thread;
    QVector<uint64_t> lookup; // address to resolve for each frame
    QString error;
};

int OnFrame(Dwfl_Frame *state, void *arg)
{
    auto *ctx = static_cast<WalkContext *>(arg);
    Dwarf_Addr pc = 0;
    bool activation = false;
    if (!dwfl_frame_pc(state, &pc, &activation)) {
        ctx->error = QString::fromUtf8(dwfl_errmsg(-1));
        return DWARF_CB_ABORT;
    }
    if (!AddFrame(ctx->thread, pc))
        return DWARF_CB_ABORT;
    // A return address points past the call: look up the call itself.
    ctx->lookup.push_back(activation || pc == 0 ? pc : pc - 1);
    return DWARF_CB_OK;
}

QString CleanName(const char *raw)
{
    QByteArray name(raw);
    const int at = name.indexOf('@'); // versioned symbols: memcpy@@GLIBC_2.14
    if (at > 0)
        name.truncate(at);
    // Only mangled names: the demangler would read a C function "h" as the type it encodes.
    int status = -1;
    char *demangled = name.startsWith("_Z")
                          ? abi::__cxa_demangle(name.constData(), nullptr, nullptr, &status)
                          : nullptr;
    QString result = QString::fromUtf8(status == 0 && demangled ? demangled : name.constData());
    std::free(demangled);
    return result;
}

CodeSymbol Resolve(Dwfl *dwfl, uint64_t address)
{
    CodeSymbol symbol;
    Dwfl_Module *module = dwfl_addrmodule(dwfl, address);
    if (!module)
        return symbol;
    Dwarf_Addr low = 0;
    const char *moduleName =
        dwfl_module_info(module, nullptr, &low, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (moduleName)
        symbol.module = QFileInfo(QString::fromUtf8(moduleName)).fileName();
    // Addresses in the module's file are the running ones less the load bias.
    Dwarf_Addr bias = 0;
    symbol.moduleBase = dwfl_module_getelf(module, &bias) ? bias : low;
    GElf_Off offset = 0;
    GElf_Sym elfSymbol;
    const char *name =
        dwfl_module_addrinfo(module, address, &offset, &elfSymbol, nullptr, nullptr, nullptr);
    if (name) {
        symbol.function = CleanName(name);
        symbol.start = address - offset;
    }
    if (Dwfl_Line *line = dwfl_module_getsrc(module, address)) {
        int lineNo = 0;
        const char *file = dwfl_lineinfo(line, nullptr, &lineNo, nullptr, nullptr, nullptr);
        if (file) {
            symbol.file = QString::fromUtf8(file);
            symbol.line = lineNo;
        }
    }
    return symbol;
}

bool IsOutermost(const QString &function)
{
    static const QSet<QString> kEntries = {
        QStringLiteral("_start"),
        QStringLiteral("__libc_start_main"),
        QStringLiteral("__libc_start_call_main"),
        QStringLiteral("clone"),
        QStringLiteral("clone3"),
        QStringLiteral("__clone"),
        QStringLiteral("__clone3"),
        QStringLiteral("start_thread"),
    };
    return kEntries.contains(function);
}

// The file-backed executable mappings: when they change, cached names may be wrong.
QByteArray CodeMappings(const QByteArray &maps)
{
    QByteArray code;
    for (int at = 0; at < maps.size();) {
        int end = maps.indexOf('\n', at);
        if (end < 0)
            end = maps.size();
        // "start-end perms offset dev inode path": executable and backed by a file.
        const int perms = maps.indexOf(' ', at) + 1;
        if (perms > 0 && perms + 2 < end && maps.at(perms + 2) == 'x' &&
            maps.indexOf('/', perms) < end && maps.indexOf('/', perms) >= 0)
            code.append(maps.constData() + at, end - at + 1);
        at = end + 1;
    }
    return code;
}

// The unwinder's view of the held threads: registers and stack copies, with anything else
// read from the live process (code and data that do not change while a thread waits).
struct CopiedState {
    long long pid = 0;
    const HoldResult *hold = nullptr;
    const CopiedThread *current = nullptr;
    size_t next = 0;
};

const CopiedThread *FindCopy(const CopiedState *state, pid_t tid)
{
    for (const CopiedThread &copy : state->hold->copied)
        if (copy.tid == tid)
            return &copy;
    return nullptr;
}

pid_t NextThread(Dwfl *, void *arg, void **threadArg)
{
    auto *state = static_cast<CopiedState *>(arg);
    if (state->next >= state->hold->copied.size())
        return 0;
    const CopiedThread &copy = state->hold->copied[state->next++];
    *threadArg = const_cast<CopiedThread *>(&copy);
    return static_cast<pid_t>(copy.tid);
}

bool GetThread(Dwfl *, pid_t tid, void *arg, void **threadArg)
{
    const CopiedThread *copy = FindCopy(static_cast<CopiedState *>(arg), tid);
    *threadArg = const_cast<CopiedThread *>(copy);
    return copy != nullptr;
}

bool ReadFromCopy(const CopiedThread *copy, Dwarf_Addr address, Dwarf_Word *result)
{
    if (!copy || address < copy->stackStart ||
        address + sizeof(Dwarf_Word) > copy->stackStart + copy->stack.size())
        return false;
    std::memcpy(result, copy->stack.data() + (address - copy->stackStart), sizeof(Dwarf_Word));
    return true;
}

bool MemoryRead(Dwfl *, Dwarf_Addr address, Dwarf_Word *result, void *arg)
{
    auto *state = static_cast<CopiedState *>(arg);
    if (ReadFromCopy(state->current, address, result))
        return true;
    for (const CopiedThread &copy : state->hold->copied)
        if (ReadFromCopy(&copy, address, result))
            return true;
    iovec local = {result, sizeof(Dwarf_Word)};
    iovec remote = {reinterpret_cast<void *>(address), sizeof(Dwarf_Word)};
    return process_vm_readv(static_cast<pid_t>(state->pid), &local, 1, &remote, 1, 0) ==
           static_cast<ssize_t>(sizeof(Dwarf_Word));
}

CopiedState *g_unwinding = nullptr; // the state of the capture being unwound

bool SetInitialRegisters(Dwfl_Thread *thread, void *threadArg)
{
    const auto *copy = static_cast<const CopiedThread *>(threadArg);
    g_unwinding->current = copy;
#if defined(__x86_64__)
    // DWARF register numbers 0..16 of x86-64: rax rdx rcx rbx rsi rdi rbp rsp r8..r15 rip.
    const user_regs_struct &r = copy->regs;
    const Dwarf_Word regs[17] = {r.rax, r.rdx, r.rcx, r.rbx, r.rsi, r.rdi, r.rbp, r.rsp, r.r8,
                                 r.r9,  r.r10, r.r11, r.r12, r.r13, r.r14, r.r15, r.rip};
    if (!dwfl_thread_state_registers(thread, 0, 17, regs))
        return false;
    dwfl_thread_state_register_pc(thread, r.rip);
    return true;
#else
#error "stack capture knows the registers of x86-64 only"
#endif
}

const Dwfl_Thread_Callbacks kCopiedThreads = {NextThread,          GetThread, MemoryRead,
                                              SetInitialRegisters, nullptr,   nullptr};

// What one target keeps between captures: its modules with their loaded debug information,
// and the names already looked up. Loading debug information is the dearest part of a
// capture, so a second look at the same process costs a fraction of the first.
struct TargetSession {
    long long pid = 0;
    unsigned long long startTime = 0;
    QByteArray mappings;
    Dwfl *dwfl = nullptr;
    CopiedState copied; // the unwinder's argument for as long as dwfl lives
    QHash<uint64_t, CodeSymbol> symbols;

    ~TargetSession() { Reset(); }
    void Reset()
    {
        if (dwfl)
            dwfl_end(dwfl);
        dwfl = nullptr;
        copied = CopiedState();
        symbols.clear();
        mappings.clear();
        pid = 0;
        startTime = 0;
    }
};

TargetSession &Session()
{
    static TargetSession session;
    return session;
}

constexpr int kStopWithinMs = 150;

// The process whose thread traces this viewer, or 0: that process cannot be stopped without
// stopping the viewer too.
long long OurTracer()
{
    const ProcStatus self = ReadStatus(getpid());
    return self.tracer > 0 ? std::max(ReadStatus(self.tracer).tgid, self.tracer) : 0;
}

// Waits a moment for a tracer to let go, as another capture does within a fraction of a
// second; the thread id of the tracer still there, or 0.
long long TracerAfterAMoment(long long pid)
{
    QElapsedTimer waited;
    waited.start();
    long long tracer = ReadStatus(pid).tracer;
    while (tracer != 0 && waited.elapsed() < 300) {
        QThread::msleep(5);
        tracer = ReadStatus(pid).tracer;
    }
    return tracer;
}

// The architecture the unwinder works in, from our own executable (we walk targets of our own
// architecture only). Left to itself, libdw borrows it from one of the target's modules, which
// goes away when the target loads another program.
Elf *ArchitectureElf()
{
    static Elf *elf = [] {
        elf_version(EV_CURRENT);
        const int fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
        return fd >= 0 ? elf_begin(fd, ELF_C_READ_MMAP, nullptr) : nullptr;
    }();
    return elf;
}

// Stage 1: what the process is, and whether it can be captured at all. Sets capture->error and
// returns false when not.
bool Examine(unsigned long requested, StackCapture *capture, ProcStatus *info)
{
    capture->pid = static_cast<long long>(requested);
    *info = ReadStatus(capture->pid);
    if (requested == 0 || !info->exists) {
        capture->error = QStringLiteral("There is no process with id %1.").arg(capture->pid);
        return false;
    }
    if (info->tgid > 0 && info->tgid != capture->pid) {
        // A thread id: capture the process it belongs to.
        capture->pid = info->tgid;
        *info = ReadStatus(capture->pid);
    }
    capture->processName = info->name;
    // One-pass arg throughout: a name may itself hold "%1".
    const QString pid = QString::number(capture->pid);
    if (capture->pid == getpid()) {
        capture->error = QStringLiteral("Process %1 is this viewer itself; a process cannot stop "
                                        "its own threads to look at them.")
                             .arg(pid);
        return false;
    }
    if (ReadStat(capture->pid).kernelThread()) {
        capture->error = QStringLiteral("Process %1 (%2) is a kernel thread: it has no user-space "
                                        "stack to show.")
                             .arg(pid, info->name);
        return false;
    }
    // A zombie leader may still have live threads: only a process with none is a zombie.
    if ((info->state == 'Z' || info->state == 'X') && info->threads <= 1) {
        capture->error = QStringLiteral("Process %1 (%2) is a zombie: it has exited and waits for "
                                        "its parent to collect it, so it has no stacks left.")
                             .arg(pid, info->name);
        return false;
    }
    if (OurTracer() == capture->pid) {
        capture->error = QStringLiteral("Process %1 (%2) is tracing this viewer: stopping it would "
                                        "stop the viewer as well. Capture it from another viewer "
                                        "that it does not trace.")
                             .arg(pid, info->name);
        return false;
    }
    if (const long long tracer = TracerAfterAMoment(capture->pid)) {
        const QString process = ProcessOfThread(tracer);
        capture->error =
            QStringLiteral("Process %1 (%2) is already being traced by process %3; "
                           "a process can have only one tracer at a time.")
                .arg(pid, info->name, process.isEmpty() ? QString::number(tracer) : process);
        return false;
    }
    return true;
}

// When the leader has exited its memory map is gone; any live thread shows the process's.
long long MemoryPid(long long pid, const ProcStatus &info)
{
    if (info.state != 'Z' && info.state != 'X')
        return pid;
    for (long long tid : ListThreads(pid)) {
        const char state = TaskState(pid, tid);
        if (state != 'Z' && state != 'X' && state != 0)
            return tid;
    }
    return pid;
}

// Stage 2: the target's modules, reported afresh each time; those that stayed keep what they
// loaded. The session is started or restarted here.
bool ReportModules(StackCapture *capture, const ProcStatus &info, long long memoryPid,
                   const QByteArray &maps, TargetSession *session)
{
    // Debug information comes from this machine only, never from the network.
    unsetenv("DEBUGINFOD_URLS");
    const unsigned long long startTime = ReadStat(capture->pid).startTime;
    if (session->pid != capture->pid || session->startTime != startTime)
        session->Reset();
    if (!session->dwfl) {
        session->dwfl = dwfl_begin(ModuleFileCallbacks());
        session->pid = capture->pid;
        session->startTime = startTime;
    }
    if (!session->dwfl) {
        capture->error = QStringLiteral("The stack walker could not start: %1")
                             .arg(QString::fromUtf8(dwfl_errmsg(-1)));
        session->Reset();
        return false;
    }
    const QByteArray mappings = CodeMappings(maps);
    if (mappings == session->mappings && !mappings.isEmpty())
        return true; // the same modules where they were: nothing to report again
    session->symbols.clear();
    session->mappings = mappings;
    SetModuleView(memoryPid, maps);
    dwfl_report_begin(session->dwfl);
    const int reported = dwfl_linux_proc_report(session->dwfl, static_cast<pid_t>(memoryPid));
    dwfl_report_end(session->dwfl, nullptr, nullptr);
    if (reported != 0) {
        capture->error = reported == EACCES || reported == EPERM
                             ? PermissionReason(capture->pid, info)
                         : ReadStatus(capture->pid).exists
                             // A process between two programs has no memory map for a moment.
                             ? StartedAnotherProgram(capture->pid)
                             : QStringLiteral("The memory map of process %1 cannot be read: %2")
                                   .arg(capture->pid)
                                   .arg(QString::fromLocal8Bit(std::strerror(reported)));
        session->Reset();
        return false;
    }
    if (dwfl_pid(session->dwfl) <= 0) {
        session->copied.pid = memoryPid;
        if (!dwfl_attach_state(session->dwfl, ArchitectureElf(), static_cast<pid_t>(memoryPid),
                               &kCopiedThreads, &session->copied)) {
            capture->error = QStringLiteral("The stack walker could not take process %1: %2")
                                 .arg(capture->pid)
                                 .arg(QString::fromUtf8(dwfl_errmsg(-1)));
            session->Reset();
            return false;
        }
    }
    return true;
}

// Stage 3 (seize, stop with a deadline, copy, release) is HoldAndCopy. This explains a hold that
// captured nothing, or nothing that can be trusted; false when the capture has to end with that
// text.
bool ExplainHold(const HoldResult &hold, const ProcStatus &info, StackCapture *capture)
{
    const QString pid = QString::number(capture->pid);
    if (hold.targetEnded) {
        capture->error = QStringLiteral("Process %1 ended during the capture.").arg(pid);
        return false;
    }
    if (hold.execed) {
        capture->error = StartedAnotherProgram(capture->pid);
        return false;
    }
    if (!hold.copied.empty())
        return true;
    for (const LeftThread &left : hold.left) {
        if (left.why == LeftWhy::Busy) {
            capture->error = QStringLiteral("Process %1 (%2) cannot be captured: %3. Try again in "
                                            "a moment.")
                                 .arg(pid, info.name, AnotherCapture(left.tracer));
            return false;
        }
    }
    if (hold.tracerFailed && hold.left.empty()) {
        capture->error = QStringLiteral("Process %1 could not be captured: the tracer this viewer "
                                        "starts for it did not run.")
                             .arg(pid);
        return false;
    }
    // Not one thread taken because tracing was refused: the reason is a permission, and the
    // text says which.
    if (hold.seizeError == EPERM || hold.seizeError == EACCES) {
        capture->error = PermissionReason(capture->pid, info);
        return false;
    }
    if (!hold.left.empty())
        return true;
    capture->error =
        ReadStatus(capture->pid).exists
            ? PermissionReason(capture->pid, info)
            : QStringLiteral("Process %1 ended before its threads could be stopped.").arg(pid);
    return false;
}

// Stage 4: every copied thread walked by libdw, from its registers and stack copy.
QVector<QVector<uint64_t>> Unwind(TargetSession *session, const HoldResult &hold,
                                  StackCapture *capture)
{
    session->copied.hold = &hold;
    session->copied.next = 0;
    g_unwinding = &session->copied;
    QVector<QVector<uint64_t>> lookups;
    for (const CopiedThread &copy : hold.copied) {
        ThreadStack thread;
        thread.tid = copy.tid;
        thread.name = ThreadName(capture->pid, copy.tid);
        WalkContext ctx{&thread, {}, {}};
        const int rc =
            dwfl_getthread_frames(session->dwfl, static_cast<pid_t>(copy.tid), OnFrame, &ctx);
        if (rc != 0 && ctx.error.isEmpty() && !thread.frameLimitReached)
            ctx.error = QString::fromUtf8(dwfl_errmsg(-1));
        if (!thread.frameLimitReached)
            thread.truncated = ctx.error;
        capture->threads.push_back(thread);
        lookups.push_back(ctx.lookup);
    }
    session->copied.hold = nullptr;
    session->copied.current = nullptr;
    g_unwinding = nullptr;
    return lookups;
}

// Stage 5: addresses to names, each address once per session; then the threads that could not
// be taken, with the reason, and every thread in id order.
void Name(TargetSession *session, const HoldResult &hold, const QVector<QVector<uint64_t>> &lookups,
          StackCapture *capture)
{
    Dwfl *dwfl = session->dwfl;
    ResolveFrames(capture, lookups, &session->symbols,
                  [dwfl](uint64_t address) { return Resolve(dwfl, address); });
    for (ThreadStack &thread : capture->threads) {
        // Running off the outermost frame is how every walk ends, not a truncation.
        if (!thread.truncated.isEmpty() && !thread.frames.isEmpty() &&
            IsOutermost(thread.frames.last().function) && !thread.frameLimitReached)
            thread.truncated.clear();
    }
    for (const LeftThread &left : hold.left) {
        ThreadStack thread;
        thread.tid = left.tid;
        thread.name = ThreadName(capture->pid, left.tid);
        thread.notCaptured = LeftReason(left);
        thread.kernelStack = left.kernelStack;
        thread.state = StateWord(left.state);
        thread.waitChannel = WaitChannel(left.wchan);
        capture->threads.push_back(thread);
    }
    std::sort(capture->threads.begin(), capture->threads.end(),
              [](const ThreadStack &a, const ThreadStack &b) { return a.tid < b.tid; });
}

// What a function of the C library does in a futex wait: it locks a mutex, or it is plumbing
// beneath that which condition variables and semaphores use as well. Names as the library's
// dynamic symbols and its debug information give them.
enum class FutexRole { None, MutexLock, Plumbing };

FutexRole RoleInFutexWait(QString function)
{
    if (function.startsWith(QLatin1String("__GI_"))) // the library's internal alias
        function.remove(0, 5);
    static const QHash<QString, FutexRole> kRoles = {
        {QStringLiteral("__lll_lock_wait"), FutexRole::MutexLock},
        {QStringLiteral("pthread_mutex_lock"), FutexRole::MutexLock},
        {QStringLiteral("___pthread_mutex_lock"), FutexRole::MutexLock},
        {QStringLiteral("__pthread_mutex_lock"), FutexRole::MutexLock},
        {QStringLiteral("__pthread_mutex_lock_full"), FutexRole::MutexLock},
        {QStringLiteral("pthread_mutex_timedlock"), FutexRole::MutexLock},
        {QStringLiteral("___pthread_mutex_timedlock"), FutexRole::MutexLock},
        {QStringLiteral("__pthread_mutex_timedlock"), FutexRole::MutexLock},
        {QStringLiteral("pthread_mutex_clocklock"), FutexRole::MutexLock},
        {QStringLiteral("___pthread_mutex_clocklock"), FutexRole::MutexLock},
        {QStringLiteral("__pthread_mutex_clocklock_common"), FutexRole::MutexLock},
        {QStringLiteral("__pthread_mutex_cond_lock"), FutexRole::MutexLock},
        {QStringLiteral("__pthread_mutex_cond_lock_full"), FutexRole::MutexLock},
        {QStringLiteral("syscall"), FutexRole::Plumbing},
        {QStringLiteral("futex_wait"), FutexRole::Plumbing},
        {QStringLiteral("__futex_abstimed_wait_common"), FutexRole::Plumbing},
        {QStringLiteral("__futex_abstimed_wait_common64"), FutexRole::Plumbing},
        {QStringLiteral("futex_lock_pi64"), FutexRole::Plumbing},
        {QStringLiteral("__futex_lock_pi64"), FutexRole::Plumbing},
        {QStringLiteral("__lll_clocklock_wait"), FutexRole::Plumbing},
    };
    return kRoles.value(function, FutexRole::None);
}

// Whether a thread asleep on a futex is in the C library's mutex lock path: a condition
// variable, a semaphore or a lock private to the library has no owner to name. Frames without
// a name are passed over.
bool LocksMutex(const ThreadStack &thread)
{
    for (int i = 0; i < thread.frames.size() && i < 8; ++i) {
        const QString &function = thread.frames[i].function;
        const FutexRole role = RoleInFutexWait(function);
        if (role == FutexRole::MutexLock)
            return true;
        if (!function.isEmpty() && role == FutexRole::None)
            return false;
    }
    return false;
}

// The thread owning a mutex, from the words at its futex: the lock word itself for a
// priority-inheritance mutex, else the owner field (x86-64: lock, count, owner, users).
long long MutexOwner(const CopiedThread &copy)
{
    constexpr uint32_t kTidMask = 0x3fffffff;
    const long long op = static_cast<long long>(copy.regs.rsi) & 127; // less the flags
    if (op == FUTEX_LOCK_PI || op == 13 /* FUTEX_LOCK_PI2 */)
        return copy.lockWords[0] & kTidMask;
    return static_cast<int32_t>(copy.lockWords[2]);
}

// Stage 6: each thread's state at the stop, and for a thread waiting for a mutex, the thread
// of this process that holds it.
void DescribeWaits(const HoldResult &hold, StackCapture *capture)
{
    QHash<long long, const CopiedThread *> copies;
    for (const CopiedThread &copy : hold.copied)
        copies.insert(copy.tid, &copy);
    QSet<long long> tids;
    for (const ThreadStack &thread : capture->threads)
        tids.insert(thread.tid);
    for (ThreadStack &thread : capture->threads) {
        const CopiedThread *copy = copies.value(thread.tid);
        if (!copy)
            continue;
        const bool asleep = AsleepInSystemCall(copy->regs);
        thread.state = copy->jobStopped ? StateWord('T') : StateWord(asleep ? 'S' : 'R');
        if (!copy->jobStopped) // a stopped thread sleeps in the stop, whatever it was doing
            thread.waitChannel = WaitChannel(copy->wchan);
        if (!copy->lockWordsRead || !LocksMutex(thread))
            continue;
        thread.lockKind = QStringLiteral("mutex");
        thread.lockAddress = copy->regs.rdi;
        const long long owner = MutexOwner(*copy);
        if (owner != thread.tid && tids.contains(owner))
            thread.lockOwner = owner;
    }
}

StackCapture Capture(unsigned long requested, int attempt)
{
    StackCapture capture;
    ProcStatus info;
    if (!Examine(requested, &capture, &info))
        return capture;
    TargetSession &session = Session();
    const long long memoryPid = MemoryPid(capture.pid, info);
    const QByteArray maps = ReadProc("/proc/" + QByteArray::number(memoryPid) + "/maps");
    if (!ReportModules(&capture, info, memoryPid, maps, &session)) {
        // A process between two programs has no memory map for a moment.
        if (attempt == 0 && ReadStatus(capture.pid).exists)
            return Capture(requested, attempt + 1);
        return capture;
    }
    HoldResult hold = HoldAndCopy(capture.pid, maps, kStopWithinMs);
    // Code mapped or unmapped between reading the maps and the hold: the registers may belong
    // to modules the walker does not know. A new program (its first mapping moved) ends the
    // capture; a library loaded or unloaded is met by capturing once more.
    const QByteArray after = ReadProc("/proc/" + QByteArray::number(memoryPid) + "/maps");
    if (!hold.execed && !hold.targetEnded && CodeMappings(after) != CodeMappings(maps)) {
        if (after.left(after.indexOf(' ')) != maps.left(maps.indexOf(' ')))
            hold.execed = true;
        else if (attempt == 0)
            return Capture(requested, attempt + 1);
        else
            capture.notes << QStringLiteral("the process was loading or unloading code during the "
                                            "capture: frames in that code may have no names");
    }
    capture.stoppedMs = hold.heldMs;
    // Another capture of the same process had it: once it lets go, this one can have it.
    const bool busy = std::any_of(hold.left.begin(), hold.left.end(),
                                  [](const LeftThread &left) { return left.why == LeftWhy::Busy; });
    if (hold.copied.empty() && busy && attempt == 0) {
        TracerAfterAMoment(capture.pid);
        return Capture(requested, attempt + 1);
    }
    if (!ExplainHold(hold, info, &capture))
        return capture;
    const QVector<QVector<uint64_t>> lookups = Unwind(&session, hold, &capture);
    Name(&session, hold, lookups, &capture);
    DescribeWaits(hold, &capture);
    if (hold.lateStacks > 0)
        capture.notes << QStringLiteral("the stacks of %1 threads were read after they were let "
                                        "go (the hold's deadline came first): where those threads "
                                        "moved on, their frames may not agree with their registers")
                             .arg(hold.lateStacks);
    capture.notes << TakeDebugFileNotes();
    capture.ok = true;
    return capture;
}

} // namespace

StackCapture CaptureStacks(unsigned long requested)
{
    return Capture(requested, 0);
}
