// What only the Windows build has: the privilege step, and a DbgHelp capture of a real process
// with several threads.
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <cstdio>
#include <gtest/gtest.h>
#include <windows.h>

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
            inlined += frame.inlined && frame.function.startsWith(QStringLiteral("wait<"));
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
        EXPECT_EQ(html.contains(QStringLiteral("wait (inlined)")), withPdb);
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

TEST(WindowsCapture, FailuresAreExplained)
{
    EXPECT_TRUE(FormatCapture(CaptureStacks(GetCurrentProcessId()))
                    .contains(QStringLiteral("viewer itself")));
    EXPECT_TRUE(FormatCapture(CaptureStacks(0x7ffffff0)).contains(QStringLiteral("no process")));
}

} // namespace
