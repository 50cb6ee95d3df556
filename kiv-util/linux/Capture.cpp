// Linux back end: every thread of the target is stopped together only long enough to copy its
// registers and live stack (TargetHold), then libdw walks the copies and names the addresses
// while the target runs on. One memory-map snapshot serves the hold, the module view and the
// walker.
#include "DebugFiles.h"
#include "LockWaits.h"
#include "Maps.h"
#include "ProcFiles.h"
#include "StackCapture.h"
#include "TargetHold.h"
#include "Unwinder.h"

#include <QElapsedTimer>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <libelf.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kStopWithinMs = 150;
// Debug files a session may keep open between captures.
constexpr int kSessionFiles = 128;

// Why tracing process pid is not permitted, as far as can be told.
CaptureFailure PermissionFailure(long long pid, const ProcStatus &info)
{
    CaptureFailure failure;
    if (geteuid() != 0 && info.uid >= 0 && info.uid != static_cast<long long>(geteuid())) {
        failure.kind = Failure::OtherUser;
        failure.uid = info.uid;
        return failure;
    }
    // The system makes a non-dumpable process's /proc files root's, whoever runs it.
    struct stat proc;
    if (geteuid() != 0 && info.uid > 0 &&
        stat(("/proc/" + QByteArray::number(pid) + "/status").constData(), &proc) == 0 &&
        proc.st_uid == 0) {
        failure.kind = Failure::NotDumpable;
        return failure;
    }
    const QByteArray scope = ReadProc("/proc/sys/kernel/yama/ptrace_scope").trimmed();
    if (scope == "1" || scope == "2" || scope == "3") {
        failure.kind = Failure::PtraceScope;
        failure.ptraceScope = scope.toInt();
        return failure;
    }
    failure.kind = Failure::NotPermitted;
    return failure;
}

CaptureFailure Simply(Failure kind)
{
    CaptureFailure failure;
    failure.kind = kind;
    return failure;
}

// Whether the program a process runs is a 32-bit one (its registers, system calls and stacks
// are laid out otherwise than those walked here).
bool ThirtyTwoBit(long long pid)
{
    char path[96], head[EI_NIDENT + 1];
    ProcPath(path, pid, 0, "exe");
    return ReadSmall(path, head, sizeof(head)) == EI_NIDENT &&
           std::memcmp(head, ELFMAG, SELFMAG) == 0 && head[EI_CLASS] == ELFCLASS32;
}

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

// What the process is, and whether it can be captured at all; Failure::None when it can.
CaptureFailure Examine(unsigned long requested, StackCapture *capture, ProcStatus *info)
{
    capture->pid = static_cast<long long>(requested);
    *info = ReadStatus(capture->pid);
    if (requested != 0 && !info->exists && info->error != ENOENT && info->error != ESRCH &&
        info->error != 0) {
        // Not "no such process": something kept us from looking (too many open files, ...).
        CaptureFailure failure = Simply(Failure::ProcUnreadable);
        failure.error = info->error;
        return failure;
    }
    if (requested == 0 || !info->exists)
        return Simply(Failure::NoProcess);
    if (info->tgid > 0 && info->tgid != capture->pid) {
        // A thread id: capture the process it belongs to.
        capture->pid = info->tgid;
        *info = ReadStatus(capture->pid);
    }
    capture->processName = info->name;
    if (capture->pid == getpid())
        return Simply(Failure::Self);
    if (ReadStat(capture->pid).kernelThread())
        return Simply(Failure::KernelThread);
    if (ThirtyTwoBit(capture->pid))
        return Simply(Failure::ThirtyTwoBit);
    // A zombie leader may still have live threads: only a process with none is a zombie.
    if (Exited(info->state) && info->threads <= 1)
        return Simply(Failure::Zombie);
    if (OurTracer() == capture->pid)
        return Simply(Failure::TracingViewer);
    if (const long long tracer = TracerAfterAMoment(capture->pid)) {
        CaptureFailure failure = Simply(Failure::AlreadyTraced);
        failure.other = ProcessOfThread(tracer);
        if (failure.other.id == 0)
            failure.other.id = tracer;
        return failure;
    }
    return {};
}

// When the leader has exited its memory map is gone; any live thread shows the process's.
long long MemoryPid(long long pid, const ProcStatus &info)
{
    if (!Exited(info.state))
        return pid;
    for (long long tid : ListThreads(pid)) {
        const char state = TaskState(pid, tid);
        if (state != 0 && !Exited(state))
            return tid;
    }
    return pid;
}

// A hold that captured nothing, or nothing that can be trusted, in facts; Failure::None when
// the capture goes on.
CaptureFailure ExplainHold(const HoldResult &hold, long long pid, const ProcStatus &info)
{
    if (hold.targetEnded)
        return Simply(Failure::EndedDuringCapture);
    if (hold.execed)
        return Simply(Failure::StartedAnotherProgram);
    if (!hold.copied.empty())
        return {};
    for (const LeftThread &left : hold.left) {
        if (left.why == LeftOut::Busy) {
            CaptureFailure failure = Simply(Failure::AnotherCapture);
            failure.other = left.tracer;
            return failure;
        }
    }
    if (hold.tracerFailed && hold.left.empty()) {
        CaptureFailure failure = Simply(Failure::TracerDidNotRun);
        failure.error = hold.tracerError;
        return failure;
    }
    // Not one thread taken because tracing was refused: the reason is a permission.
    if (hold.seizeError == EPERM || hold.seizeError == EACCES)
        return PermissionFailure(pid, info);
    if (!hold.left.empty())
        return {};
    return ReadStatus(pid).exists ? PermissionFailure(pid, info) : Simply(Failure::EndedBeforeStop);
}

ThreadState StateOf(char state)
{
    switch (state) {
    case 'R':
        return ThreadState::Running;
    case 'S':
    case 'I':
        return ThreadState::Sleeping;
    case 'D':
        return ThreadState::DiskSleep;
    case 'T':
    case 't':
        return ThreadState::Stopped;
    default:
        return ThreadState::Unknown;
    }
}

// The threads the hold could not take, with the reason (a main thread that has exited among
// them), then every thread in id order.
void AddLeftThreads(const HoldResult &hold, const ProcStatus &info, StackCapture *capture)
{
    if (Exited(info.state)) {
        ThreadStack leader;
        leader.tid = capture->pid;
        leader.name = info.name;
        leader.leftOut = LeftOut::Exited;
        capture->threads.push_back(leader);
    }
    for (const LeftThread &left : hold.left) {
        ThreadStack thread;
        thread.tid = left.tid;
        thread.name = QString::fromUtf8(ReadTaskFile(capture->pid, left.tid, "comm").trimmed());
        thread.leftOut = left.why;
        thread.error = left.error;
        thread.busyWith = left.tracer;
        thread.kernelStack = left.kernelStack;
        thread.state = StateOf(left.state);
        thread.waitChannel = left.wchan == "0" ? QString() : QString::fromUtf8(left.wchan);
        capture->threads.push_back(thread);
    }
    std::sort(capture->threads.begin(), capture->threads.end(),
              [](const ThreadStack &a, const ThreadStack &b) { return a.tid < b.tid; });
}

// What captures keep between them, and the lock that lets one capture at a time use it.
class Capturer {
public:
    Capturer() : session_(&files_, ArchitectureElf()) {}
    ~Capturer()
    {
        session_.Reset(); // before the files and the ELF it uses go
        if (arch_)
            elf_end(arch_);
        if (archFd_ >= 0)
            close(archFd_);
    }

    StackCapture Capture(unsigned long requested)
    {
        std::lock_guard<std::mutex> guard(lock_);
        DebugFileCache::Use use(&files_);
        StackCapture capture = Attempt(requested, 0);
        // A target of many modules is not kept: its files stay open as long as its session.
        if (files_.SessionFiles() > kSessionFiles)
            session_.Reset();
        return capture;
    }

    unsigned long long DebugFileBytes()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return files_.Bytes();
    }

private:
    // The architecture walked, from our own executable (we walk targets of our own
    // architecture only).
    Elf *ArchitectureElf()
    {
        elf_version(EV_CURRENT);
        archFd_ = OpenToRead("/proc/self/exe");
        arch_ = archFd_ >= 0 ? elf_begin(archFd_, ELF_C_READ_MMAP, nullptr) : nullptr;
        return arch_;
    }

    StackCapture Attempt(unsigned long requested, int attempt);

    std::mutex lock_;
    int archFd_ = -1;
    Elf *arch_ = nullptr;
    DebugFileCache files_;
    TargetSession session_;
};

StackCapture Failed(StackCapture capture, const CaptureFailure &failure)
{
    capture.failure = failure;
    return capture;
}

// Why the walker could not take the process, in facts.
CaptureFailure ReportFailure(CaptureFailure failure, int mapsError, long long pid,
                             const ProcStatus &info)
{
    if (mapsError == EACCES || mapsError == EPERM)
        return PermissionFailure(pid, info);
    if (mapsError != 0 && ReadStatus(pid).exists)
        return Simply(Failure::StartedAnotherProgram); // between two programs: no map for a while
    if (mapsError != 0) {
        failure = Simply(Failure::MapUnreadable);
        failure.error = mapsError;
    }
    return failure;
}

// How the code of the process changed during the hold, from its map after it.
enum class CodeChange { None, Ended, AnotherProgram, Library };

CodeChange ChangeDuringHold(const MapsSnapshot &before, const MapsSnapshot &after, long long pid)
{
    if (after.entries.empty()) {
        // No map left: the process ended during the hold (threads that exit are no signal the
        // tracer sees as the process's end).
        const ProcStatus now = ReadStatus(pid);
        if (!now.exists || (Exited(now.state) && now.threads <= 1))
            return CodeChange::Ended;
    }
    if (after.CodeSignature() == before.CodeSignature())
        return CodeChange::None;
    return after.IsAnotherProgramThan(before) ? CodeChange::AnotherProgram : CodeChange::Library;
}

StackCapture Capturer::Attempt(unsigned long requested, int attempt)
{
    StackCapture capture;
    ProcStatus info;
    CaptureFailure failure = Examine(requested, &capture, &info);
    if (failure.kind != Failure::None)
        return Failed(capture, failure);
    const long long memoryPid = MemoryPid(capture.pid, info);
    const MapsSnapshot maps = MapsSnapshot::Read(memoryPid);
    int mapsError = 0;
    if (!session_.Report(capture.pid, ReadStat(capture.pid).startTime, memoryPid, maps, &failure,
                         &mapsError)) {
        // A process between two programs has no memory map for a moment.
        if (attempt == 0 && ReadStatus(capture.pid).exists)
            return Attempt(requested, attempt + 1);
        return Failed(capture, ReportFailure(failure, mapsError, capture.pid, info));
    }
    HoldResult hold = HoldAndCopy(capture.pid, maps, kStopWithinMs);
    // Code mapped or unmapped between reading the maps and the hold: the registers may belong
    // to modules the walker does not know. A new program ends the capture; a library loaded or
    // unloaded is met by capturing once more.
    if (!hold.execed && !hold.targetEnded) {
        const CodeChange change =
            ChangeDuringHold(maps, MapsSnapshot::Read(memoryPid), capture.pid);
        hold.targetEnded = change == CodeChange::Ended;
        hold.execed = change == CodeChange::AnotherProgram;
        if (change == CodeChange::Library && attempt == 0)
            return Attempt(requested, attempt + 1);
        if (change == CodeChange::Library)
            capture.notes << CaptureNote{NoteKind::CodeChanging, {}, 0, 0, 0};
    }
    capture.stoppedMs = hold.heldMs;
    // Another capture of the same process had it: once it lets go, this one can have it.
    const bool busy = std::any_of(hold.left.begin(), hold.left.end(),
                                  [](const LeftThread &left) { return left.why == LeftOut::Busy; });
    if (hold.copied.empty() && busy && attempt == 0) {
        TracerAfterAMoment(capture.pid);
        return Attempt(requested, attempt + 1);
    }
    failure = ExplainHold(hold, capture.pid, info);
    if (failure.kind != Failure::None)
        return Failed(capture, failure);
    session_.Name(&capture, session_.Unwind(hold, capture.pid, &capture.threads));
    AddLeftThreads(hold, info, &capture);
    DescribeWaits(hold, NamespaceTids(capture.pid), &capture);
    if (hold.lateStacks > 0)
        capture.notes << CaptureNote{NoteKind::StacksUnread, {}, 0, 0, hold.lateStacks};
    capture.notes << files_.Notes();
    capture.ok = true;
    return capture;
}

Capturer &TheCapturer()
{
    static Capturer capturer;
    return capturer;
}

} // namespace

StackCapture CaptureStacks(unsigned long requested)
{
    return TheCapturer().Capture(requested);
}

unsigned long long DebugFileCacheBytes()
{
    return TheCapturer().DebugFileBytes();
}
