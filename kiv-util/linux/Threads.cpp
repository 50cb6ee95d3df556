#include "Threads.h"

#include "Arch.h"
#include "ProcFiles.h"

#include <cerrno>

using tracer::Outcome;

bool AsleepAtStop(const HeldThread &thread)
{
    if (!thread.copied())
        return false;
    return arch::AsleepInSystemCall(thread.regs) ||
           (arch::InterruptedSystemCall(thread.regs) && !WaitChannel(thread.wchanBefore).isEmpty());
}

ThreadState StateOf(char letter)
{
    switch (letter) {
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

ThreadState StateOf(const HeldThread &thread)
{
    if (!thread.copied())
        return StateOf(thread.stateAfter);
    if (thread.jobStopped)
        return ThreadState::Stopped;
    return AsleepAtStop(thread) ? ThreadState::Sleeping : ThreadState::Running;
}

QString WaitChannel(const QByteArray &wchan)
{
    const QByteArray trimmed = wchan.trimmed();
    return trimmed == "0" ? QString() : QString::fromUtf8(trimmed);
}

QString WaitChannelOf(const HeldThread &thread)
{
    if (!thread.copied())
        return WaitChannel(thread.wchanAfter);
    return !thread.jobStopped && AsleepAtStop(thread) ? WaitChannel(thread.wchanBefore) : QString();
}

LeftOut LeftOutOf(const HeldThread &thread)
{
    switch (thread.outcome) {
    case Outcome::Copied:
        return LeftOut::No;
    case Outcome::Ended:
        return LeftOut::Ended;
    case Outcome::Refused:
        return thread.error == ESRCH ? LeftOut::Ended : LeftOut::Refused;
    case Outcome::Busy:
        return LeftOut::Busy;
    case Outcome::KernelWorker:
        return thread.ioWorker ? LeftOut::IoUringWorker : LeftOut::KernelWorker;
    case Outcome::Pending:
        break;
    }
    // Asked to stop, never did: still there, or gone since.
    return thread.stateAfter == 0 || Exited(thread.stateAfter) ? LeftOut::Ended
                                                               : LeftOut::NotStopped;
}

ThreadStack Heading(const HeldThread &thread, const QString &name)
{
    ThreadStack heading;
    heading.tid = thread.tid;
    heading.name = name;
    heading.state = StateOf(thread);
    heading.waitChannel = WaitChannelOf(thread);
    heading.leftOut = LeftOutOf(thread);
    if (heading.leftOut == LeftOut::Refused)
        heading.error = thread.error;
    heading.busyWith = thread.tracer;
    heading.kernelStack = thread.kernelStack;
    return heading;
}

ThreadStack ExitedLeader(long long pid, const QString &name)
{
    ThreadStack leader;
    leader.tid = pid;
    leader.name = name;
    leader.leftOut = LeftOut::Exited;
    return leader;
}
