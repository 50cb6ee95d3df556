#include "Failures.h"

#include <algorithm>
#include <cerrno>

namespace {

CaptureFailure Simply(Failure kind)
{
    CaptureFailure failure;
    failure.kind = kind;
    return failure;
}

} // namespace

CaptureFailure Classify(const ProcessFacts &facts)
{
    const ProcStatus &status = facts.status;
    if (facts.requested != 0 && !status.exists && status.error != ENOENT && status.error != ESRCH &&
        status.error != 0) {
        // Not "no such process": something kept us from looking (too many open files, ...).
        CaptureFailure failure = Simply(Failure::ProcUnreadable);
        failure.error = status.error;
        return failure;
    }
    if (facts.requested == 0 || !status.exists)
        return Simply(Failure::NoProcess);
    if (facts.pid == facts.viewer)
        return Simply(Failure::Self);
    if (facts.stat.kernelThread())
        return Simply(Failure::KernelThread);
    if (facts.thirtyTwoBit)
        return Simply(Failure::ThirtyTwoBit);
    // A zombie leader may still have live threads: only a process with none is a zombie.
    if (Exited(status.state) && status.threads <= 1)
        return Simply(Failure::Zombie);
    if (facts.viewerTracer == facts.pid)
        return Simply(Failure::TracingViewer);
    if (status.tracer != 0) {
        CaptureFailure failure = Simply(Failure::AlreadyTraced);
        failure.other = facts.tracer;
        return failure;
    }
    return {};
}

CaptureFailure PermissionFailure(const ProcessFacts &facts)
{
    CaptureFailure failure;
    const long long uid = facts.status.uid;
    if (facts.viewerUid != 0 && uid >= 0 && uid != facts.viewerUid) {
        failure.kind = Failure::OtherUser;
        failure.uid = uid;
    } else if (facts.viewerUid != 0 && uid > 0 && facts.statusOfRoot) {
        // The system makes a non-dumpable process's /proc files root's, whoever runs it.
        failure.kind = Failure::NotDumpable;
    } else if (facts.ptraceScope >= 1 && facts.ptraceScope <= 3) {
        failure.kind = Failure::PtraceScope;
        failure.ptraceScope = facts.ptraceScope;
    } else {
        failure.kind = Failure::NotPermitted;
    }
    return failure;
}

CaptureFailure ExplainHold(const HoldResult &hold, const ProcessFacts &before,
                           const ProcessFacts &now)
{
    if (hold.targetEnded)
        return Simply(Failure::EndedDuringCapture);
    if (hold.execed)
        return Simply(Failure::StartedAnotherProgram);
    if (hold.CopiedAny())
        return {};
    for (const HeldThread &thread : hold.threads) {
        if (thread.outcome == tracer::Outcome::Busy) {
            CaptureFailure failure = Simply(Failure::AnotherCapture);
            failure.other = thread.tracer;
            return failure;
        }
    }
    if (hold.tracerFailed && hold.threads.empty()) {
        CaptureFailure failure = Simply(Failure::TracerDidNotRun);
        failure.error = hold.tracerError;
        return failure;
    }
    // Not one thread taken because tracing was refused: the reason is a permission.
    if (hold.seizeError == EPERM || hold.seizeError == EACCES)
        return PermissionFailure(before);
    if (!hold.threads.empty())
        return {};
    return now.status.exists ? PermissionFailure(before) : Simply(Failure::EndedBeforeStop);
}

CodeChange ChangeDuringHold(const MapsSnapshot &before, const MapsSnapshot &after,
                            const ProcessFacts &now)
{
    // No map left: the process ended during the hold (threads that exit are no signal the
    // tracer sees as the process's end).
    if (after.entries.empty() &&
        (!now.status.exists || (Exited(now.status.state) && now.status.threads <= 1)))
        return CodeChange::Ended;
    if (after.CodeSignature() == before.CodeSignature())
        return CodeChange::None;
    return after.IsAnotherProgramThan(before) ? CodeChange::AnotherProgram : CodeChange::Library;
}

CaptureFailure WalkerFailure(CaptureFailure failure, int mapsError, const ProcessFacts &now)
{
    if (mapsError == EACCES || mapsError == EPERM)
        return PermissionFailure(now);
    if (mapsError != 0 && now.status.exists)
        return Simply(Failure::StartedAnotherProgram); // between two programs: no map for a while
    if (mapsError != 0) {
        failure = Simply(Failure::MapUnreadable);
        failure.error = mapsError;
    }
    return failure;
}

Retry RetryFor(const AttemptSummary &attempt)
{
    switch (attempt.stage) {
    case Stage::Examined:
        return attempt.failure.kind == Failure::AlreadyTraced ? Retry::TracerLeaving : Retry::None;
    case Stage::Reported:
        // A process between two programs has no memory map for a moment.
        return attempt.failure.kind != Failure::None && attempt.stillExists ? Retry::BetweenPrograms
                                                                            : Retry::None;
    case Stage::Held:
        if (attempt.change == CodeChange::Library)
            return Retry::CodeChanged;
        return attempt.heldByAnotherCapture ? Retry::AnotherCapture : Retry::None;
    }
    return Retry::None;
}

bool RetryPolicy::Allows(Retry why, int times, double sinceFirstMs)
{
    switch (why) {
    case Retry::None:
        return false;
    case Retry::TracerLeaving:
        return times == 0 || sinceFirstMs < kTracerWaitMs;
    case Retry::BetweenPrograms:
    case Retry::CodeChanged:
    case Retry::AnotherCapture:
        return times < 1;
    }
    return false;
}

Wait WaitBefore(Retry why)
{
    switch (why) {
    case Retry::TracerLeaving:
        return {Wait::Kind::Sleep, RetryPolicy::kTracerPollMs};
    case Retry::AnotherCapture:
        return {Wait::Kind::UntilItsTracerLeaves, RetryPolicy::kTracerWaitMs};
    case Retry::None:
    case Retry::BetweenPrograms:
    case Retry::CodeChanged:
        break;
    }
    return {};
}
