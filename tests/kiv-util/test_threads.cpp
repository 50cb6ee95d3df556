// A thread's heading from its one record: why it was left out, whether it was asleep, its state
// and wait channel.
#include <cerrno>
#include <gtest/gtest.h>

#include "Threads.h"

namespace {

HeldThread Record(tracer::Outcome outcome)
{
    HeldThread thread;
    thread.tid = 12;
    thread.outcome = outcome;
    return thread;
}

TEST(Threads, WhyAThreadWasLeftOut)
{
    using tracer::Outcome;
    const struct {
        Outcome outcome;
        int error;
        char stateAfter;
        bool ioWorker;
        LeftOut why;
    } rows[] = {
        {Outcome::Copied, 0, 0, false, LeftOut::No},
        {Outcome::Ended, 0, 0, false, LeftOut::Ended},
        {Outcome::Refused, EPERM, 0, false, LeftOut::Refused},
        {Outcome::Refused, ESRCH, 0, false, LeftOut::Ended},
        {Outcome::Busy, EPERM, 0, false, LeftOut::Busy},
        {Outcome::Pending, 0, 'D', false, LeftOut::NotStopped},
        {Outcome::Pending, 0, 'Z', false, LeftOut::Ended},
        {Outcome::Pending, 0, 0, false, LeftOut::Ended},
        {Outcome::KernelWorker, 0, 'S', true, LeftOut::IoUringWorker},
        {Outcome::KernelWorker, 0, 'S', false, LeftOut::KernelWorker},
    };
    for (const auto &row : rows) {
        HeldThread thread = Record(row.outcome);
        thread.error = row.error;
        thread.stateAfter = row.stateAfter;
        thread.ioWorker = row.ioWorker;
        EXPECT_EQ(LeftOutOf(thread), row.why) << static_cast<int>(row.outcome);
        EXPECT_EQ(Heading(thread, QStringLiteral("w")).leftOut, row.why);
    }
}

// Asleep in a call the stop interrupted, or in one it ended early where the thread slept just
// before; stopped by a job stop, it sleeps in the stop.
TEST(Threads, StateAndWaitChannelAtTheStop)
{
    constexpr long long kRestartSys = -512, kEintr = -4;
    const struct {
        long long call, result;
        const char *wchanBefore;
        bool jobStopped;
        ThreadState state;
        const char *wchan;
    } rows[] = {
        {SYS_futex, kRestartSys, "futex_do_wait", false, ThreadState::Sleeping, "futex_do_wait"},
        {SYS_epoll_wait, kEintr, "do_epoll_wait", false, ThreadState::Sleeping, "do_epoll_wait"},
        {SYS_epoll_wait, kEintr, "0", false, ThreadState::Running, ""},
        {-1, 0, "", false, ThreadState::Running, ""},
        {SYS_futex, kRestartSys, "futex_do_wait", true, ThreadState::Stopped, ""},
    };
    for (const auto &row : rows) {
        HeldThread thread = Record(tracer::Outcome::Copied);
        thread.regs.orig_rax = static_cast<unsigned long long>(row.call);
        thread.regs.rax = static_cast<unsigned long long>(row.result);
        thread.wchanBefore = row.wchanBefore;
        thread.jobStopped = row.jobStopped;
        EXPECT_EQ(StateOf(thread), row.state) << row.call << " " << row.wchanBefore;
        EXPECT_EQ(WaitChannelOf(thread), QLatin1String(row.wchan));
    }
    // Not taken: where it is after the hold.
    HeldThread late = Record(tracer::Outcome::Pending);
    late.stateAfter = 'D';
    late.wchanAfter = "vfork";
    late.kernelStack = QStringList{QStringLiteral("[<0>] vfork")};
    const ThreadStack heading = Heading(late, QStringLiteral("main"));
    EXPECT_EQ(heading.state, ThreadState::DiskSleep);
    EXPECT_EQ(heading.waitChannel, QStringLiteral("vfork"));
    EXPECT_EQ(heading.kernelStack, late.kernelStack);
    EXPECT_EQ(ExitedLeader(77, QStringLiteral("prog")).leftOut, LeftOut::Exited);
}

} // namespace
