// The Linux back end's readers of /proc and of the C library's locks, on made-up input.
#include <gtest/gtest.h>
#include <linux/futex.h>

#include "Failures.h"
#include "LockWaits.h"
#include "Maps.h"
#include "ProcFiles.h"
#include "TargetHold.h"
#include "Wording.h"

#include <array>

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
    using tracer::Outcome;
    EXPECT_EQ(LeftOutFor(Outcome::Refused, EPERM, 0), LeftOut::Refused);
    EXPECT_EQ(LeftOutFor(Outcome::Refused, ESRCH, 0), LeftOut::Ended);
    EXPECT_EQ(LeftOutFor(Outcome::Busy, EPERM, 0), LeftOut::Busy);
    EXPECT_EQ(LeftOutFor(Outcome::Pending, 0, 'D'), LeftOut::NotStopped);
    EXPECT_EQ(LeftOutFor(Outcome::Pending, 0, 'Z'), LeftOut::Ended);
    EXPECT_EQ(LeftOutFor(Outcome::Pending, 0, 0), LeftOut::Ended);
    EXPECT_EQ(LeftOutFor(Outcome::Copied, 0, 'S'), LeftOut::Ended);
}

// Whose mutex a sleeping thread waits for: from the futex call in its registers and the words
// read at the futex. The owner is named only where the words agree and it is a live thread of
// the process, in our numbering.
TEST(LockWaits, OwnersParkedThreadsAndContainers)
{
    const struct {
        const char *what;
        uint64_t op, expected;
        std::array<uint32_t, arch::kMutexWords> words;
        QHash<long long, long long> nsTids;
        long long owner, recorded;
        bool refused;
    } cases[] = {
        {"a locked mutex", FUTEX_WAIT_PRIVATE, 2, {2, 0, 11, 1}, {}, 11, 0, false},
        {"unlocked words name nobody", FUTEX_WAIT_PRIVATE, 2, {0, 0, 11, 1}, {}, 0, 0, false},
        {"an owner that is no live thread", FUTEX_WAIT_PRIVATE, 2, {2, 0, 99, 1}, {}, 0, 99, false},
        {"a PI lock word names the owner",
         FUTEX_LOCK_PI,
         0,
         {0x80000000u | 12, 0, 12, 1},
         {},
         12,
         0,
         false},
        {"a PI word without an owner", FUTEX_LOCK_PI, 0, {0x80000000u, 0, 12, 1}, {}, 0, 0, false},
        {"a container's numbering", FUTEX_WAIT_PRIVATE, 2, {2, 0, 5, 1}, {{5, 11}}, 11, 0, false},
        {"an owner outside the container",
         FUTEX_WAIT_PRIVATE,
         2,
         {2, 0, 6, 1},
         {{5, 11}},
         0,
         0,
         false},
        {"parked after a refused PI lock", FUTEX_WAIT_PRIVATE, 0, {0, 0, 0, 0}, {}, 0, 0, true},
    };
    const QSet<long long> tids = {10, 11, 12};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        CopiedThread copy;
        copy.regs.orig_rax = arch::kFutexCall;
        copy.regs.rdi = 0x5000;
        copy.regs.rsi = c.op;
        copy.regs.rdx = c.expected;
        copy.lockWordsRead = true;
        std::copy(c.words.begin(), c.words.end(), copy.lockWords);
        ThreadStack thread;
        thread.tid = 10;
        DescribeLock(copy, tids, c.nsTids, &thread);
        EXPECT_EQ(thread.lockOwner, c.owner);
        EXPECT_EQ(thread.recordedOwner, c.recorded);
        EXPECT_EQ(thread.lockRefused, c.refused);
        EXPECT_EQ(Parked(copy), c.refused);
        if (c.refused) {
            EXPECT_EQ(LockWaitText(thread, nullptr, 16),
                      QStringLiteral("waits for a mutex that the system refused to give it (a "
                                     "deadlock through priority-inheritance mutexes, or an owner "
                                     "that died); it waits for ever"));
        }
    }
}

ProcessFacts Facts(const char *status)
{
    ProcessFacts facts;
    facts.requested = 77;
    facts.pid = 77;
    facts.status = ParseStatus(status);
    facts.viewer = 1000;
    facts.viewerUid = 1000;
    return facts;
}

// Whether a process can be captured at all, what a hold that took nothing means, and how the
// code changed during the hold: decisions on facts read once.
TEST(Failures, DecisionsOnWhatWasRead)
{
    const char *running = "Name:\tprog\nState:\tS (sleeping)\nTgid:\t77\nTracerPid:\t0\n"
                          "Uid:\t1000\t1000\t1000\t1000\nThreads:\t4\n";
    ProcessFacts gone = Facts("");
    gone.status.error = ENOENT;
    ProcessFacts unreadable = Facts("");
    unreadable.status.error = EMFILE;
    ProcessFacts self = Facts(running);
    self.viewer = 77;
    ProcessFacts kernel = Facts(running);
    kernel.stat = ParseStat("77 (k) S 2 0 0 0 -1 2097216 0");
    ProcessFacts zombie = Facts("Name:\tz\nState:\tZ (zombie)\nTgid:\t77\nThreads:\t1\n");
    ProcessFacts tracing = Facts(running);
    tracing.viewerTracer = 77;
    ProcessFacts traced = Facts("Name:\tprog\nState:\tt (tracing stop)\nTgid:\t77\n"
                                "TracerPid:\t5\nUid:\t1000\nThreads:\t1\n");
    traced.tracer = {5, QStringLiteral("gdb")};
    ProcessFacts other = Facts(running);
    other.status.uid = 0;
    ProcessFacts secret = Facts(running);
    secret.statusOfRoot = true;
    ProcessFacts scope = Facts(running);
    scope.ptraceScope = 2;
    const struct {
        const ProcessFacts &facts;
        Failure classified, refused;
        const char *words;
    } cases[] = {
        {gone, Failure::NoProcess, Failure::NotPermitted, "There is no process with id 77."},
        {unreadable, Failure::ProcUnreadable, Failure::NotPermitted, "cannot be read"},
        {self, Failure::Self, Failure::NotPermitted, "is this viewer itself"},
        {kernel, Failure::KernelThread, Failure::NotPermitted, "is a kernel thread"},
        {zombie, Failure::Zombie, Failure::NotPermitted, "is a zombie"},
        {tracing, Failure::TracingViewer, Failure::NotPermitted, "is tracing this viewer"},
        {traced, Failure::AlreadyTraced, Failure::NotPermitted,
         "already being traced by process 5 (gdb)"},
        {other, Failure::None, Failure::OtherUser, "belongs to another user (uid 0)"},
        {secret, Failure::None, Failure::NotDumpable, "non-dumpable"},
        {scope, Failure::None, Failure::PtraceScope, "ptrace_scope is 2"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.words);
        StackCapture capture;
        capture.pid = 77;
        capture.processName = c.facts.status.name;
        capture.failure = Classify(c.facts);
        EXPECT_EQ(capture.failure.kind, c.classified);
        if (c.classified == Failure::None)
            capture.failure = PermissionFailure(c.facts);
        EXPECT_EQ(PermissionFailure(c.facts).kind, c.refused);
        EXPECT_TRUE(FailureText(capture).contains(QLatin1String(c.words)))
            << FailureText(capture).toStdString();
    }

    // A hold that took no thread: ended, another program, another capture, or permission.
    HoldResult hold;
    EXPECT_EQ(ExplainHold(hold, other, Facts(running)).kind, Failure::OtherUser);
    EXPECT_EQ(ExplainHold(hold, other, gone).kind, Failure::EndedBeforeStop);
    hold.left.push_back({});
    hold.left.back().why = LeftOut::Busy;
    EXPECT_EQ(ExplainHold(hold, other, gone).kind, Failure::AnotherCapture);
    hold.execed = true;
    EXPECT_EQ(ExplainHold(hold, other, gone).kind, Failure::StartedAnotherProgram);
    hold.copied.push_back({});
    hold.execed = false;
    EXPECT_EQ(ExplainHold(hold, other, gone).kind, Failure::None);

    // The code during the hold, from the maps before and after it.
    MapsSnapshot before, library, program, none;
    before.entries = ParseMaps("1000-2000 r-xp 00000000 08:01 11 /bin/prog\n");
    library.entries = ParseMaps("1000-2000 r-xp 00000000 08:01 11 /bin/prog\n"
                                "5000-6000 r-xp 00000000 08:01 12 /lib/plugin.so\n");
    program.entries = ParseMaps("3000-4000 r-xp 00000000 08:01 13 /bin/other\n");
    EXPECT_EQ(ChangeDuringHold(before, before, Facts(running)), CodeChange::None);
    EXPECT_EQ(ChangeDuringHold(before, library, Facts(running)), CodeChange::Library);
    EXPECT_EQ(ChangeDuringHold(before, program, Facts(running)), CodeChange::AnotherProgram);
    EXPECT_EQ(ChangeDuringHold(before, none, gone), CodeChange::Ended);
}

// What is tried again, and how often: another tracer is waited for by the clock.
TEST(Failures, RetryPolicy)
{
    const struct {
        Retry why;
        int allowed;
    } counted[] = {{Retry::None, 0},
                   {Retry::BetweenPrograms, 1},
                   {Retry::CodeChanged, 1},
                   {Retry::AnotherCapture, 1}};
    for (const auto &c : counted) {
        EXPECT_TRUE(c.allowed == 0 || RetryPolicy::Allows(c.why, c.allowed - 1, 0));
        EXPECT_FALSE(RetryPolicy::Allows(c.why, c.allowed, 0));
    }
    const double limit = RetryPolicy::kTracerWaitMs;
    EXPECT_TRUE(RetryPolicy::Allows(Retry::TracerLeaving, 0, 0));
    EXPECT_TRUE(RetryPolicy::Allows(Retry::TracerLeaving, 1000, limit - 1));
    EXPECT_FALSE(RetryPolicy::Allows(Retry::TracerLeaving, 3, limit)) << "however few attempts";
}

} // namespace
