// What only the Windows build has: the privilege step, and a DbgHelp capture of a real process
// with several threads.
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <gtest/gtest.h>
#include <windows.h>

#include "Diagnosis.h"
#include "StackCapture.h"
#include "Wording.h"
#include "sys_privilege.h"

namespace {

bool DebugPrivilegeEnabled()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    LUID luid;
    bool enabled = false;
    char buffer[4096];
    DWORD size = 0;
    if (LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &luid) &&
        GetTokenInformation(token, TokenPrivileges, buffer, sizeof(buffer), &size)) {
        const auto *privileges = reinterpret_cast<const TOKEN_PRIVILEGES *>(buffer);
        for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
            const LUID_AND_ATTRIBUTES &p = privileges->Privileges[i];
            if (p.Luid.LowPart == luid.LowPart && p.Luid.HighPart == luid.HighPart)
                enabled = (p.Attributes & SE_PRIVILEGE_ENABLED) != 0;
        }
    }
    CloseHandle(token);
    return enabled;
}

TEST(WindowsDaemon, PrivilegeStepEnablesDebuggingWhereTheTokenHoldsIt)
{
    EnableDebugPrivilege();
    EnableDebugPrivilege(); // a second time changes nothing and fails nothing
    EXPECT_TRUE(DebugPrivilegeEnabled());
}

TEST(WindowsCapture, ListsAllThreadsAndResumesThemAll)
{
    QProcess helper;
    helper.start(QStringLiteral(NORVA_STACK_HELPER), {QStringLiteral("4")});
    ASSERT_TRUE(helper.waitForReadyRead(20000));
    ASSERT_EQ(helper.readLine().trimmed(), "ready");

    const StackCapture capture = CaptureStacks(static_cast<unsigned long>(helper.processId()));
    ASSERT_TRUE(capture.ok) << FailureText(capture).toStdString();
    EXPECT_GE(capture.threads.size(), 5);
    int walked = 0;
    for (const ThreadStack &thread : capture.threads)
        walked += !thread.frames.isEmpty();
    EXPECT_GE(walked, 5);
    EXPECT_TRUE(capture.processName.endsWith(QStringLiteral(".exe")));
    const QString html = FormatCapture(capture);
    EXPECT_TRUE(html.contains(QStringLiteral("ntdll")) || html.contains(QStringLiteral("kernel")))
        << html.left(2000).toStdString();
    // The helper's own functions, named from its DWARF 4 debug information, and the calls
    // inlined into them as frames of their own.
    int named = 0, inlined = 0;
    for (const ThreadStack &thread : capture.threads)
        for (const StackFrame &frame : thread.frames) {
            named += !frame.inlined && frame.function.contains(QStringLiteral("norva_wait_here"));
            inlined += frame.inlined &&
                       frame.function.startsWith(QStringLiteral("std::condition_variable::wait<"));
        }
    EXPECT_EQ(named, 4) << html.left(4000).toStdString();
    EXPECT_EQ(inlined, 4) << "std::condition_variable::wait, inlined in norva_wait_here";

    // Every thread runs again: the helper ends when asked.
    helper.write("quit\n");
    EXPECT_TRUE(helper.waitForFinished(10000));
    EXPECT_EQ(helper.exitCode(), 0);
}

// What Windows' own DbgHelp names frames from: the PDB file beside the program. Without it,
// the helper's functions have no names (the module and offset stand in for them).
TEST(WindowsCapture, NamesComeFromThePdbFileBesideTheProgram)
{
#if !defined(NORVA_PDB_HELPER)
    GTEST_SKIP() << "needs clang and lld for a program with a PDB file";
#else
    QTemporaryDir bare;
    ASSERT_TRUE(bare.isValid());
    const QString alone = bare.filePath(QStringLiteral("norva-pdb-helper.exe"));
    ASSERT_TRUE(QFile::copy(QStringLiteral(NORVA_PDB_HELPER), alone));
    for (const QString &program : {QStringLiteral(NORVA_PDB_HELPER), alone}) {
        const bool withPdb = program != alone;
        SCOPED_TRACE(withPdb ? "with its PDB" : "without it");
        QProcess helper;
        helper.start(program, {QStringLiteral("2")});
        ASSERT_TRUE(helper.waitForReadyRead(20000));
        ASSERT_EQ(helper.readLine().trimmed(), "ready");
        const StackCapture capture = CaptureStacks(static_cast<unsigned long>(helper.processId()));
        ASSERT_TRUE(capture.ok) << FailureText(capture).toStdString();
        const QString html = FormatCapture(capture);
        EXPECT_EQ(html.count(QStringLiteral("norva_wait_here")), withPdb ? 1 : 0)
            << html.toStdString();
        EXPECT_EQ(html.contains(QStringLiteral("stack_helper.cpp:")), withPdb);
        EXPECT_EQ(html.contains(QStringLiteral(" wait (inlined)")), withPdb); // not do_sema_b_wait
        if (!withPdb) {
            EXPECT_TRUE(html.contains(QStringLiteral("norva-pdb-helper.exe+0x")));
        }
        helper.write("quit\n");
        EXPECT_TRUE(helper.waitForFinished(10000));
    }
#endif
}

// The helper built for the other kind of Windows (NORVA_OTHER_HELPER, where a Wine that runs
// both is at hand): a 64-bit viewer walks a 32-bit program from its 32-bit context, every
// thread, with names; a 32-bit viewer refuses a 64-bit program in words.
TEST(WindowsCapture, TheOtherKindOfProgram)
{
    const QString other = qEnvironmentVariable("NORVA_OTHER_HELPER");
    if (other.isEmpty())
        GTEST_SKIP() << "NORVA_OTHER_HELPER names no helper of the other kind";
    for (int threads : {4, 64}) {
        SCOPED_TRACE(threads);
        QProcess helper;
        QElapsedTimer started;
        started.start();
        helper.start(other, {QString::number(threads)});
        ASSERT_TRUE(helper.waitForReadyRead(60000));
        ASSERT_EQ(helper.readLine().trimmed(), "ready");
        const qint64 startMs = started.elapsed();
        QElapsedTimer timer;
        timer.start();
        const StackCapture capture = CaptureStacks(static_cast<unsigned long>(helper.processId()));
        const qint64 captureMs = timer.elapsed();
        if (sizeof(void *) == 4) {
            EXPECT_EQ(capture.failure.kind, Failure::WrongArchitecture);
            EXPECT_TRUE(
                FailureText(capture).contains(QStringLiteral("Use the 64-bit norva-pstack")))
                << FailureText(capture).toStdString();
        } else {
            ASSERT_TRUE(capture.ok) << FailureText(capture).toStdString();
            EXPECT_EQ(capture.addressDigits, 8);
            EXPECT_GT(capture.stoppedMs, 0.0);
            int named = 0;
            for (const ThreadStack &thread : capture.threads)
                for (const StackFrame &frame : thread.frames)
                    named += !frame.inlined &&
                             frame.function.contains(QStringLiteral("norva_wait_here"));
            EXPECT_EQ(named, threads) << FormatCapture(capture).left(4000).toStdString();
            std::printf("[ figures  ] a 32-bit target of %d threads: started in %lld ms, "
                        "captured in %lld ms, held %.2f ms\n",
                        threads + 1, startMs, captureMs, capture.stoppedMs);
        }
        helper.write("quit\n");
        EXPECT_TRUE(helper.waitForFinished(20000));
    }
}

// The helper in a mode of its own, said ready.
class Helper {
public:
    explicit Helper(const QStringList &args,
                    const QString &program = QStringLiteral(NORVA_STACK_HELPER))
    {
        process_.start(program, args);
        ok_ = process_.waitForReadyRead(60000) && process_.readLine().trimmed() == "ready";
    }
    ~Helper()
    {
        process_.write("quit\n");
        if (!process_.waitForFinished(10000))
            process_.kill();
    }
    bool ok() const { return ok_; }
    unsigned long pid() const { return static_cast<unsigned long>(process_.processId()); }
    QProcess &process() { return process_; }

private:
    QProcess process_;
    bool ok_ = false;
};

// A busy thread alternating two chains of 48 calls 384 KiB deep: each capture shows one chain,
// whole, as it was during the hold (words past a short copy were read late, and mixed them).
TEST(WindowsCapture, DeepStacksOfRunningThreadsAreShownAsTheyWere)
{
    Helper helper({QStringLiteral("0"), QStringLiteral("deep"), QStringLiteral("384")});
    ASSERT_TRUE(helper.ok());
    const QRegularExpression deep(QStringLiteral("^Deep<(\\d+)>::([AB])(\\(.*\\))?$"));
    int deepest = 0;
    for (int round = 0; round < 10; ++round) {
        const StackCapture capture = CaptureStacks(helper.pid());
        ASSERT_TRUE(capture.ok) << FailureText(capture).toStdString();
        for (const ThreadStack &thread : capture.threads) {
            QSet<QString> chains;
            int depth = 0;
            for (const StackFrame &frame : thread.frames)
                if (const auto m = deep.match(frame.function); m.hasMatch() && !frame.inlined) {
                    chains << m.captured(2);
                    ++depth;
                }
            EXPECT_LE(chains.size(), 1) << FormatCapture(capture).toStdString();
            deepest = std::max(deepest, depth);
            EXPECT_NE(thread.walkEnd, WalkEnd::BeyondCopy) << WalkEndText(thread).toStdString();
        }
    }
    EXPECT_EQ(deepest, 48) << "the whole chain, at the bottom at least once";
}

// What the program's DWARF puts back: the functions that jumped to the next (two that the
// records prove, one of two chains that part and meet again), and a stack 5000 calls deep
// shown by its innermost frames and its outermost, main among them, counting those between.
TEST(WindowsCapture, TailCallsAndDeepStacksAreShownAsTheDebugInformationHasThem)
{
    Helper helper({QStringLiteral("0"), QStringLiteral("calls")});
    ASSERT_TRUE(helper.ok());
    const StackCapture capture = CaptureStacks(helper.pid());
    ASSERT_TRUE(capture.ok) << FailureText(capture).toStdString();
    QStringList chains;
    bool deep = false;
    for (const ThreadStack &thread : capture.threads) {
        QString chain;
        for (const StackFrame &frame : thread.frames)
            if (frame.function.startsWith(QLatin1String("norva_tail_")))
                chain += frame.function.section('(', 0, 0) + (frame.tailCall ? "* " : " ");
        if (!chain.isEmpty())
            chains << chain.trimmed();
        if (thread.omittedFrames > 0) {
            deep = thread.frames.size() == kStackFrameLimit &&
                   thread.frames.size() + thread.omittedFrames > 5000 &&
                   std::any_of(thread.frames.end() - kOutermostShown, thread.frames.end(),
                               [](const StackFrame &f) { return f.function == "main"; });
        }
    }
    chains.sort();
    EXPECT_EQ(chains, QStringList({"norva_tail_bottom norva_tail_middle* norva_tail_top*",
                                   "norva_tail_bottom norva_tail_shared*"}))
        << FormatCapture(capture).toStdString();
    EXPECT_TRUE(deep);
}

// A thread whose frame register points near the top of the address space: the walk follows it
// no further, says so, and the viewer lives (the copy's bounds check wrapped there before).
TEST(WindowsCapture, DamagedFrameChainEndsTheWalkWithANote)
{
#if !defined(_WIN64)
    GTEST_SKIP() << "the damaged frame is made for 64-bit Windows";
#else
    Helper helper({QStringLiteral("0"), QStringLiteral("smash")});
    ASSERT_TRUE(helper.ok());
    const StackCapture capture = CaptureStacks(helper.pid());
    ASSERT_TRUE(capture.ok) << FailureText(capture).toStdString();
    int damaged = 0;
    for (const ThreadStack &thread : capture.threads)
        damaged += thread.walkEnd == WalkEnd::FrameUnreadable &&
                   thread.walkAddress == 0xfffffffffffffff8ull;
    EXPECT_EQ(damaged, 1) << FormatCapture(capture).toStdString();
    EXPECT_TRUE(FormatCapture(capture).contains(QStringLiteral("the frame chain is damaged")));
#endif
}

// A process that ends during the capture: in the hold (a watcher thread, last of 65, ends it
// the moment it sees the main thread suspended), or while the symbols are read (300 ms after
// it is ready): the capture says so, or shows the threads it copied; never a capture of no
// threads shown as a success (DbgHelp took 1-3 s before the hold, and the threads were gone).
TEST(WindowsCapture, TargetThatEndsMidCaptureSaysSo)
{
    int landed = 0;
    for (int round = 0; round < 10; ++round) {
        const bool inHold = round % 2 == 0;
        Helper helper(inHold ? QStringList{QStringLiteral("64"), QStringLiteral("exit-held")}
                             : QStringList{QStringLiteral("4"), QStringLiteral("exit"),
                                           QStringLiteral("300")});
        ASSERT_TRUE(helper.ok());
        const StackCapture capture = CaptureStacks(helper.pid());
        if (capture.ok) {
            EXPECT_GT(capture.threads.size(), 0) << FormatCapture(capture).toStdString();
            continue; // copied while it ran: what it was shows
        }
        EXPECT_EQ(capture.failure.kind, Failure::EndedDuringCapture)
            << FailureText(capture).toStdString();
        EXPECT_EQ(FailureText(capture),
                  QStringLiteral("Process %1 ended during the capture.").arg(helper.pid()));
        landed += inHold;
    }
    EXPECT_GT(landed, 0) << "the end never landed in the hold";
}

// 500 threads: the hold ends by its deadline, and the threads it did not reach are listed.
TEST(WindowsCapture, HoldEndsByItsDeadlineAtFiveHundredThreads)
{
    if (sizeof(void *) == 4)
        GTEST_SKIP() << "500 threads of 2 MiB stacks do not fit a 32-bit Wine process";
    Helper helper({QStringLiteral("499")});
    ASSERT_TRUE(helper.ok());
    const StackCapture capture = CaptureStacks(helper.pid());
    ASSERT_TRUE(capture.ok) << FailureText(capture).toStdString();
    // 150 ms from the first suspension to the last resume, and slack for a busy machine.
    EXPECT_LT(capture.stoppedMs, 300);
    int walked = 0, notReached = 0;
    for (const ThreadStack &thread : capture.threads) {
        walked += !thread.frames.isEmpty();
        notReached += thread.leftOut == LeftOut::NotReached;
    }
    EXPECT_EQ(capture.threads.size(), 500);
    EXPECT_EQ(walked + notReached, 500);
    std::printf("[ figures  ] 500 threads: held %.1f ms, %d walked, %d not reached\n",
                capture.stoppedMs, walked, notReached);
}

// Two threads deadlocked on each other's critical section and a third waiting for one of them:
// where the wait-chain service answers it says so; where it does not (Wine has none) the stacks
// do, and the summary never claims "0 waiting on locks".
TEST(WindowsCapture, CriticalSectionWaitsNameTheirOwners)
{
    Helper helper({QStringLiteral("0"), QStringLiteral("cs")});
    ASSERT_TRUE(helper.ok());
    const StackCapture capture = CaptureStacks(helper.pid());
    ASSERT_TRUE(capture.ok) << FailureText(capture).toStdString();
    const QString shown = FormatCapture(capture);
    EXPECT_FALSE(shown.contains(QStringLiteral(" 0 waiting on locks"))) << shown.toStdString();
    int waiting = 0, named = 0;
    for (const ThreadStack &thread : capture.threads) {
        waiting += thread.lockKind == LockKind::CriticalSection;
        named += thread.lockOwner != 0;
    }
    EXPECT_EQ(waiting, 3) << shown.toStdString();
    EXPECT_EQ(named, 3);
    const QVector<ThreadGroup> cycles = FindDeadlocks(capture.threads);
    ASSERT_EQ(cycles.size(), 1);
    EXPECT_EQ(cycles.first().size(), 2);
    EXPECT_TRUE(shown.contains(QStringLiteral("Deadlock:")));
}

TEST(WindowsCapture, FailuresAreExplained)
{
    EXPECT_TRUE(FormatCapture(CaptureStacks(GetCurrentProcessId()))
                    .contains(QStringLiteral("viewer itself")));
    EXPECT_TRUE(FormatCapture(CaptureStacks(0x7ffffff0)).contains(QStringLiteral("no process")));
}

} // namespace
