#include "Threads.h"

#include "ProcFiles.h"

namespace {

QString NameOf(long long pid, long long tid)
{
    return QString::fromUtf8(ReadTaskFile(pid, tid, "comm").trimmed());
}

} // namespace

ThreadState StateAtStop(const CopiedThread &copy)
{
    if (copy.jobStopped)
        return ThreadState::Stopped;
    return copy.asleep ? ThreadState::Sleeping : ThreadState::Running;
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

QString WaitChannel(const QByteArray &wchan)
{
    const QByteArray trimmed = wchan.trimmed();
    return trimmed == "0" ? QString() : QString::fromUtf8(trimmed);
}

ThreadStack ThreadOf(long long pid, const CopiedThread &copy)
{
    ThreadStack thread;
    thread.tid = copy.tid;
    thread.name = NameOf(pid, copy.tid);
    thread.state = StateAtStop(copy);
    // A stopped thread sleeps in the stop, whatever it was doing.
    if (!copy.jobStopped)
        thread.waitChannel = WaitChannel(copy.wchan);
    return thread;
}

ThreadStack ThreadOf(long long pid, const LeftThread &left)
{
    ThreadStack thread;
    thread.tid = left.tid;
    thread.name = NameOf(pid, left.tid);
    thread.leftOut = left.why;
    thread.error = left.error;
    thread.busyWith = left.tracer;
    thread.kernelStack = left.kernelStack;
    thread.state = StateOf(left.state);
    thread.waitChannel = WaitChannel(left.wchan);
    return thread;
}
