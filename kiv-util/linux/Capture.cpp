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
#include <QSet>
#include <QThread>

#include <algorithm>
#include <array>
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

// Waits a moment for another tracer to let go of the process, as another capture does within
// a fraction of a second.
void UntilItsTracerLeaves(long long pid, int ms)
{
    QElapsedTimer waited;
    waited.start();
    while (ReadStatus(pid).tracer != 0 && waited.elapsed() < ms)
        QThread::msleep(RetryPolicy::kTracerPollMs);
}

// How many attempts each reason to retry has asked for so far, and since when.
class RetryCounts {
public:
    bool Allows(Retry why) const
    {
        const auto i = static_cast<size_t>(why);
        return RetryPolicy::Allows(why, times_[i], times_[i] ? since_[i].nsecsElapsed() / 1e6 : 0);
    }
    void Count(Retry why)
    {
        const auto i = static_cast<size_t>(why);
        if (times_[i]++ == 0)
            since_[i].start();
    }

private:
    std::array<int, kRetryReasons> times_ = {};
    std::array<QElapsedTimer, kRetryReasons> since_;
};

// One attempt's result, and the reason to try again that the policy allows (Retry::None when
// this is the result).
struct Attempted {
    StackCapture capture;
    Retry retry = Retry::None;
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

    // Attempt, decide, wait: until an attempt is the result.
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
            const Wait wait = WaitBefore(attempt.retry);
            if (wait.kind == Wait::Kind::Sleep)
                QThread::msleep(static_cast<unsigned long>(wait.ms));
            else if (wait.kind == Wait::Kind::UntilItsTracerLeaves)
                UntilItsTracerLeaves(attempt.capture.pid, wait.ms);
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
    // The capture from a hold: every thread's heading, its walk and the lock it waits for.
    StackCapture Assemble(StackCapture capture, const HoldResult &hold, const ProcessFacts &facts,
                          const MapsSnapshot &maps);

    std::mutex lock_;
    int archFd_ = -1;
    Elf *arch_ = nullptr;
    DebugFileCache files_;
    TargetSession session_;
};

// The attempt ends as summary says: tried again where the policy allows, else its result.
Attempted Decide(StackCapture capture, const AttemptSummary &summary, const RetryCounts &counts)
{
    Attempted attempt;
    attempt.capture = std::move(capture);
    const Retry why = RetryFor(summary);
    if (counts.Allows(why))
        attempt.retry = why;
    else if (summary.stage != Stage::Held)
        attempt.capture.failure = summary.failure;
    return attempt;
}

Attempted Capturer::Attempt(unsigned long requested, const RetryCounts &counts)
{
    StackCapture capture;
    const ProcessFacts facts = LookAt(requested);
    capture.pid = facts.pid;
    capture.processName = facts.status.name;
    AttemptSummary summary;
    summary.failure = Classify(facts);
    if (summary.failure.kind != Failure::None)
        return Decide(capture, summary, counts);

    summary.stage = Stage::Reported;
    const long long memoryPid = MemoryPid(facts);
    const MapsSnapshot maps = MapsSnapshot::Read(memoryPid);
    int mapsError = 0;
    if (!session_.Report(facts.pid, facts.stat.startTime, memoryPid, maps, &summary.failure,
                         &mapsError)) {
        const ProcessFacts now = LookAt(requested);
        summary.failure = WalkerFailure(summary.failure, mapsError, now);
        summary.stillExists = now.status.exists;
        return Decide(capture, summary, counts);
    }

    summary.stage = Stage::Held;
    HoldResult hold = HoldAndCopy(facts.pid, maps, kStopWithinMs);
    const ProcessFacts now = LookAt(facts.requested);
    // Code mapped or unmapped between reading the maps and the hold: the registers may belong
    // to modules the walker does not know.
    if (!hold.execed && !hold.targetEnded) {
        summary.change = ChangeDuringHold(maps, MapsSnapshot::Read(memoryPid), now);
        hold.targetEnded = summary.change == CodeChange::Ended;
        hold.execed = summary.change == CodeChange::AnotherProgram;
    }
    summary.heldByAnotherCapture = hold.HeldByAnotherCapture();
    Attempted attempt = Decide(capture, summary, counts);
    if (attempt.retry != Retry::None)
        return attempt;
    if (summary.change == CodeChange::Library)
        capture.notes << CaptureNote{NoteKind::CodeChanging, {}, 0, 0, 0};
    capture.stoppedMs = hold.heldMs;
    capture.failure = ExplainHold(hold, facts, now);
    if (capture.failure.kind == Failure::None)
        capture = Assemble(capture, hold, facts, maps);
    attempt.capture = capture;
    return attempt;
}

StackCapture Capturer::Assemble(StackCapture capture, const HoldResult &hold,
                                const ProcessFacts &facts, const MapsSnapshot &maps)
{
    // Headings and walks, joined thread by thread; the walks' frames named all at once.
    const QHash<long long, WalkResult> walks = session_.Walk(hold, maps);
    std::vector<const HeldThread *> records;
    for (const HeldThread &held : hold.threads) {
        // The name the tracer read with the thread's flags; read here only where it could not.
        const QByteArray name =
            held.name.isEmpty() ? ReadTaskFile(facts.pid, held.tid, "comm").trimmed() : held.name;
        ThreadStack thread = Heading(held, QString::fromUtf8(name));
        if (const auto walk = walks.constFind(held.tid); walk != walks.constEnd()) {
            thread.frames = walk->frames;
            thread.walkEnd = walk->end;
            thread.walkError = walk->error;
        }
        capture.threads.push_back(thread);
        records.push_back(&held);
    }
    session_.Name(&capture);
    // The lock each waits for, from its own record; among the threads of the process.
    QSet<long long> tids;
    for (const ThreadStack &thread : capture.threads)
        tids.insert(thread.tid);
    if (Exited(facts.status.state))
        tids.insert(facts.pid);
    const QHash<long long, long long> nsTids = NamespaceTids(facts.pid);
    for (size_t i = 0; i < records.size(); ++i)
        DescribeLock(*records[i], tids, nsTids, &capture.threads[static_cast<int>(i)]);
    if (Exited(facts.status.state))
        capture.threads.push_back(ExitedLeader(facts.pid, facts.status.name));
    std::sort(capture.threads.begin(), capture.threads.end(),
              [](const ThreadStack &a, const ThreadStack &b) { return a.tid < b.tid; });
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
