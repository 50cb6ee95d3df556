// The Linux back end's readers of /proc and of the C library's locks, on made-up input.
#include <gtest/gtest.h>
#include <linux/futex.h>

#include "LockWaits.h"
#include "Maps.h"
#include "ProcFiles.h"
#include "TargetHold.h"

namespace {

// The name in parentheses may hold spaces and ')': fields count from the last ')'.
TEST(ProcFiles, StatAndStatusLines)
{
    const StatFields stat = ParseStat("123 (a) b) (c) S 1 2 3 4 5 2097152 7 8 9 10 11 12 13 14 "
                                      "15 16 17 18 4242 rest");
    EXPECT_EQ(stat.state, 'S');
    EXPECT_TRUE(stat.kernelThread());
    EXPECT_EQ(stat.startTime, 4242u);
    EXPECT_EQ(ParseStat("garbage").state, 0);

    const ProcStatus status = ParseStatus("Name:\tmy prog\nUmask:\t0022\nState:\tZ (zombie)\n"
                                          "Tgid:\t77\nPid:\t78\nTracerPid:\t0\nUid:\t1000\t1001\t"
                                          "1000\t1000\nThreads:\t3\n");
    EXPECT_TRUE(status.exists);
    EXPECT_EQ(status.name, QStringLiteral("my prog"));
    EXPECT_EQ(status.state, 'Z');
    EXPECT_EQ(status.tgid, 77);
    EXPECT_EQ(status.tracer, 0);
    EXPECT_EQ(status.uid, 1000);
    EXPECT_EQ(status.threads, 3);
    EXPECT_FALSE(ParseStatus(QByteArray()).exists);
}

TEST(Maps, LinesWithSpacesDeletedFilesAndNoPath)
{
    const std::vector<MapEntry> maps =
        ParseMaps("55d0a000-55d0b000 r-xp 00001000 08:01 131 /opt/my app/bin (deleted)\n"
                  "7f00-7f80 rw-p 00000000 00:00 0 \n"
                  "7ffc0000-7ffc2000 r-xp 00000000 00:00 0                  [vdso]\n"
                  "not a map line\n");
    ASSERT_EQ(maps.size(), 3u);
    EXPECT_EQ(maps[0].start, 0x55d0a000u);
    EXPECT_EQ(maps[0].path, QByteArray("/opt/my app/bin (deleted)"));
    EXPECT_TRUE(maps[0].exec && maps[0].fileBacked());
    EXPECT_EQ(maps[0].inode, 131u);
    EXPECT_EQ(maps[0].offset, 0x1000u);
    EXPECT_TRUE(maps[1].write && maps[1].path.isEmpty() && !maps[1].fileBacked());
    EXPECT_EQ(maps[2].path, QByteArray("[vdso]"));
}

QVector<StackFrame> Frames(const QStringList &functions)
{
    QVector<StackFrame> frames;
    for (const QString &function : functions) {
        StackFrame frame;
        frame.function = function;
        frames << frame;
    }
    return frames;
}

// Only the mutex lock path names an owner; the owner is the lock word for a PI mutex.
TEST(LockWaits, FutexRolesAndOwners)
{
    const struct {
        QStringList functions;
        bool locksMutex;
    } stacks[] = {
        {{"__futex_abstimed_wait_common", "", "__GI___lll_lock_wait", "main"}, true},
        {{"syscall", "pthread_mutex_lock"}, true},
        {{"__futex_abstimed_wait_common", "pthread_cond_wait", "__pthread_mutex_lock"}, false},
        {{"", ""}, false},
    };
    for (const auto &stack : stacks)
        EXPECT_EQ(LocksMutex(Frames(stack.functions)), stack.locksMutex)
            << stack.functions.join(' ').toStdString();

    const uint32_t words[arch::kMutexWords] = {0x80000000u | 1234u, 1, 5678, 0};
    EXPECT_EQ(MutexOwner(FUTEX_WAIT | FUTEX_PRIVATE_FLAG, words), 5678);
    EXPECT_EQ(MutexOwner(FUTEX_LOCK_PI | FUTEX_PRIVATE_FLAG, words), 1234);
}

TEST(TargetHold, WhyAThreadWasLeftOut)
{
    enum { Pending, Copied, Ended, Refused, Busy }; // the tracer's outcomes
    EXPECT_EQ(LeftOutFor(Refused, EPERM, 0), LeftOut::Refused);
    EXPECT_EQ(LeftOutFor(Refused, ESRCH, 0), LeftOut::Ended);
    EXPECT_EQ(LeftOutFor(Busy, EPERM, 0), LeftOut::Busy);
    EXPECT_EQ(LeftOutFor(Pending, 0, 'D'), LeftOut::NotStopped);
    EXPECT_EQ(LeftOutFor(Pending, 0, 'Z'), LeftOut::Ended);
    EXPECT_EQ(LeftOutFor(Pending, 0, 0), LeftOut::Ended);
    EXPECT_EQ(LeftOutFor(Copied, 0, 'S'), LeftOut::Ended);
}

} // namespace
