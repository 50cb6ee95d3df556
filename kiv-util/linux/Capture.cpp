// Linux back end: every thread of the target is stopped together only long enough to copy its
// registers and live stack (TargetHold), then libdw walks the copies and names the addresses
// while the target runs on. One memory-map snapshot serves the hold, the module view and the
// walker. This file reads and acts; what it decides, Failures.cpp decides from what it read.
#include "DebugFiles.h"
#include "Failures.h"
#include "LockWaits.h"
#include "Maps.h"
#include "ProcFiles.h"
#include "StackCapture.h"
#include "TargetHold.h"
#include "Threads.h"
#include "Unwinder.h"

#include <QElapsedTimer>
#include <QThread>

#include <algorithm>
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

// Whether the program a process runs is a 32-bit one (its registers, system calls and stacks
// are laid out otherwise than those walked here).
bool ThirtyTwoBit(long long pid)
{
    char path[96], head[EI_NIDENT + 1];
    ProcPath(path, pid, 0, "exe");
    return ReadSmall(path, head, sizeof(head)) == EI_NIDENT &&
           std::memcmp(head, ELFMAG, SELFMAG) == 0 && head[EI_CLASS] == ELFCLASS32;
}

// Everything the decisions need to know of the process, read once.
ProcessFacts LookAt(unsigned long requested)
{
    ProcessFacts facts;
    facts.requested = requested;
    facts.pid = static_cast<long long>(requested);
    facts.status = ReadStatus(facts.pid);
    if (facts.status.exists && facts.status.tgid > 0 && facts.status.tgid != facts.pid) {
        facts.pid = facts.status.tgid; // a thread id: capture the process it belongs to
        facts.status = ReadStatus(facts.pid);
    }
    facts.stat = ReadStat(facts.pid);
    facts.thirtyTwoBit = facts.status.exists && ThirtyTwoBit(facts.pid);
    if (facts.status.tracer != 0) {
        facts.tracer = ProcessOfThread(facts.status.tracer);
        if (facts.tracer.id == 0)
            facts.tracer.id = facts.status.tracer;
    }
    facts.viewer = getpid();
    const ProcStatus self = ReadStatus(facts.viewer);
    facts.viewerTracer = self.tracer > 0 ? std::max(ReadStatus(self.tracer).tgid, self.tracer) : 0;
    facts.viewerUid = geteuid();
    struct stat status;
    facts.statusOfRoot =
        stat(("/proc/" + QByteArray::number(facts.pid) + "/status").constData(), &status) == 0 &&
        status.st_uid == 0;
    facts.ptraceScope = ReadProc("/proc/sys/kernel/yama/ptrace_scope").trimmed().toInt();
    return facts;
}

// When the leader has exited its memory map is gone; any live thread shows the process's.
long long MemoryPid(const ProcessFacts &facts)
{
    if (!Exited(facts.status.state))
        return facts.pid;
    for (long long tid : ListThreads(facts.pid)) {
        const char state = TaskState(facts.pid, tid);
        if (state != 0 && !Exited(state))
            return tid;
    }
    return facts.pid;
}

// The threads the hold could not take, with the reason (a main thread that has exited among
// them), then every thread in id order.
void AddLeftThreads(const HoldResult &hold, const ProcessFacts &facts, StackCapture *capture)
{
    if (Exited(facts.status.state)) {
        ThreadStack leader;
        leader.tid = facts.pid;
        leader.name = facts.status.name;
        leader.leftOut = LeftOut::Exited;
        capture->threads.push_back(leader);
    }
    for (const LeftThread &left : hold.left)
        capture->threads.push_back(ThreadOf(facts.pid, left));
    std::sort(capture->threads.begin(), capture->threads.end(),
              [](const ThreadStack &a, const ThreadStack &b) { return a.tid < b.tid; });
}

// Waits a moment for another tracer to let go of the process, as another capture does within
// a fraction of a second.
void UntilItsTracerLeaves(long long pid)
{
    QElapsedTimer waited;
    waited.start();
    while (ReadStatus(pid).tracer != 0 && waited.elapsed() < RetryPolicy::kTracerWaitMs)
        QThread::msleep(RetryPolicy::kTracerPollMs);
}

// One attempt's result, and the reason to try again that the policy allows (Retry::None when
// this is the result).
struct Attempted {
    StackCapture capture;
    Retry retry = Retry::None;
};

// How many attempts each reason to retry has asked for so far, and since when.
class RetryCounts {
public:
    bool Allows(Retry why) const
    {
        const int i = Index(why);
        return RetryPolicy::Allows(why, times_[i], times_[i] ? since_[i].nsecsElapsed() / 1e6 : 0);
    }
    void Count(Retry why)
    {
        const int i = Index(why);
        if (times_[i]++ == 0)
            since_[i].start();
    }

private:
    static int Index(Retry why) { return static_cast<int>(why); }
    int times_[5] = {};
    QElapsedTimer since_[5];
};

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

    // Attempts until one is the result, with the waits each reason to retry needs.
    StackCapture Capture(unsigned long requested)
    {
        std::lock_guard<std::mutex> guard(lock_);
        DebugFileCache::Use use(&files_);
        RetryCounts counts;
        for (;;) {
            Attempted attempt = Attempt(requested, counts);
            if (attempt.retry == Retry::None) {
                // A target of many modules is not kept: its files stay open as long as its
                // session.
                if (files_.SessionFiles() > kSessionFiles)
                    session_.Reset();
                return attempt.capture;
            }
            counts.Count(attempt.retry);
            if (attempt.retry == Retry::TracerLeaving)
                QThread::msleep(RetryPolicy::kTracerPollMs);
            else if (attempt.retry == Retry::AnotherCapture)
                UntilItsTracerLeaves(attempt.capture.pid);
        }
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

    Attempted Attempt(unsigned long requested, const RetryCounts &counts);
    Attempted Hold(Attempted attempt, const ProcessFacts &facts, const MapsSnapshot &maps,
                   long long memoryPid, const RetryCounts &counts);

    std::mutex lock_;
    int archFd_ = -1;
    Elf *arch_ = nullptr;
    DebugFileCache files_;
    TargetSession session_;
};

// The attempt fails with failure, or, when the policy allows why, asks to be tried again.
Attempted Failed(Attempted attempt, const CaptureFailure &failure, Retry why = Retry::None,
                 const RetryCounts &counts = {})
{
    attempt.capture.failure = failure;
    if (counts.Allows(why))
        attempt.retry = why;
    return attempt;
}

Attempted Capturer::Attempt(unsigned long requested, const RetryCounts &counts)
{
    Attempted attempt;
    const ProcessFacts facts = LookAt(requested);
    attempt.capture.pid = facts.pid;
    attempt.capture.processName = facts.status.name;
    CaptureFailure failure = Classify(facts);
    if (failure.kind != Failure::None)
        return Failed(attempt, failure,
                      failure.kind == Failure::AlreadyTraced ? Retry::TracerLeaving : Retry::None,
                      counts);
    const long long memoryPid = MemoryPid(facts);
    const MapsSnapshot maps = MapsSnapshot::Read(memoryPid);
    int mapsError = 0;
    if (!session_.Report(facts.pid, facts.stat.startTime, memoryPid, maps, &failure, &mapsError)) {
        // A process between two programs has no memory map for a moment.
        const ProcessFacts now = LookAt(requested);
        return Failed(attempt, WalkerFailure(failure, mapsError, now),
                      now.status.exists ? Retry::BetweenPrograms : Retry::None, counts);
    }
    return Hold(attempt, facts, maps, memoryPid, counts);
}

Attempted Capturer::Hold(Attempted attempt, const ProcessFacts &facts, const MapsSnapshot &maps,
                         long long memoryPid, const RetryCounts &counts)
{
    StackCapture &capture = attempt.capture;
    HoldResult hold = HoldAndCopy(facts.pid, maps, kStopWithinMs);
    const ProcessFacts now = LookAt(facts.requested);
    // Code mapped or unmapped between reading the maps and the hold: the registers may belong
    // to modules the walker does not know.
    if (!hold.execed && !hold.targetEnded) {
        const CodeChange change = ChangeDuringHold(maps, MapsSnapshot::Read(memoryPid), now);
        hold.targetEnded = change == CodeChange::Ended;
        hold.execed = change == CodeChange::AnotherProgram;
        if (change == CodeChange::Library && counts.Allows(Retry::CodeChanged)) {
            attempt.retry = Retry::CodeChanged;
            return attempt;
        }
        if (change == CodeChange::Library)
            capture.notes << CaptureNote{NoteKind::CodeChanging, {}, 0, 0, 0};
    }
    capture.stoppedMs = hold.heldMs;
    // Another capture of the same process had it: once it lets go, this one can have it.
    const bool busy = std::any_of(hold.left.begin(), hold.left.end(),
                                  [](const LeftThread &left) { return left.why == LeftOut::Busy; });
    if (hold.copied.empty() && busy && counts.Allows(Retry::AnotherCapture)) {
        attempt.retry = Retry::AnotherCapture;
        return attempt;
    }
    const CaptureFailure failure = ExplainHold(hold, facts, now);
    if (failure.kind != Failure::None)
        return Failed(attempt, failure);
    session_.Unwind(hold, maps, facts.pid, &capture);
    AddLeftThreads(hold, facts, &capture);
    DescribeWaits(hold, NamespaceTids(facts.pid), &capture);
    if (hold.lateStacks > 0)
        capture.notes << CaptureNote{NoteKind::StacksUnread, {}, 0, 0, hold.lateStacks};
    capture.notes << files_.Notes();
    capture.ok = true;
    return attempt;
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
