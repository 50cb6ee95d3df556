// libkiv-util against real processes: the helper's threads wait in functions with known
// names; the capture must name them, keep the target running and untraced, and explain every
// failure in words.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextDocument>
#include <atomic>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <zlib.h>

#include "DebugFiles.h"
#include "NVPStack.h"
#include "ProcessHelpers.h"
#include "StackCapture.h"
#include "Wording.h"

namespace {

class Helper {
public:
    // command: what runs the helper, itself by default.
    explicit Helper(int threads, const QStringList &mode = {},
                    const QStringList &command = {QStringLiteral(NORVA_STACK_HELPER)})
    {
        process_.start(command.first(),
                       command.mid(1) + QStringList{QString::number(threads)} + mode);
        EXPECT_TRUE(process_.waitForStarted(5000));
        EXPECT_TRUE(process_.waitForReadyRead(10000));
        EXPECT_EQ(process_.readLine().trimmed(), "ready");
        // Its main thread, which said so, has yet to get where it waits (or ends, in a mode
        // that ends by itself).
        EXPECT_TRUE(WaitFor([this] { return MainState() != 'R'; }, 20000));
    }
    char MainState() const
    {
        const QByteArray state = StatusField(pid(), "State:");
        return state.isEmpty() ? 0 : state[0];
    }
    ~Helper()
    {
        process_.kill();
        process_.waitForFinished(5000);
    }
    qint64 pid() const { return process_.processId(); }
    // Asks the helper to end; true when it does so by itself, which a stopped one cannot.
    bool EndsWhenAsked()
    {
        process_.write("quit\n");
        return process_.waitForFinished(5000) && process_.exitCode() == 0;
    }

    // One line to the helper, its one-line answer back.
    QByteArray Ask(const QByteArray &line)
    {
        process_.write(line + '\n');
        return process_.waitForReadyRead(5000) ? process_.readLine().trimmed() : QByteArray();
    }
    bool Collected() { return process_.waitForFinished(3000); }

private:
    QProcess process_;
};

QString Capture(qint64 pid)
{
    NVPStack stack(0, nullptr);
    stack.setPid(static_cast<unsigned long>(pid));
    stack.pStack();
    return stack.traces();
}

QString AsShown(const QString &html)
{
    QTextDocument document;
    document.setHtml(html);
    return document.toPlainText();
}

TEST(StackCapture, NamesEveryThreadsFramesAndLetsTheTargetGo)
{
    // 64 threads with the same frames, and the main thread: two groups, every thread listed.
    Helper helper(64);
    const QString html = Capture(helper.pid());
    const QString shown = AsShown(html);
    EXPECT_TRUE(Qt::mightBeRichText(html));
    EXPECT_TRUE(shown.contains(QStringLiteral("Process %1 norva-stack-hel").arg(helper.pid()) +
                               QStringLiteral(" \u2014 65 threads, 2 distinct stacks, 0 waiting")))
        << shown.left(300).toStdString();
    EXPECT_TRUE(shown.contains(QStringLiteral("\n64 threads: norva-stack-hel ")));
    for (const QString &task : QDir(QStringLiteral("/proc/%1/task").arg(helper.pid()))
                                   .entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        EXPECT_TRUE(shown.contains(QRegularExpression(QStringLiteral("[ ,]%1[,\n ]").arg(task))))
            << task.toStdString();
    EXPECT_EQ(shown.count(QStringLiteral("norva_wait_here()+0x")), 1);
    EXPECT_EQ(shown.count(QStringLiteral(" h+0x")), 1) << "a C name stays as it is";
    EXPECT_EQ(
        shown.count(QStringLiteral("WaitInVector<int>(std::vector<int, std::allocator<int> >&)")),
        1);
    EXPECT_EQ(shown.count(QStringLiteral(
                  "operator<<(std::ostream&, (anonymous namespace)::Lecture const&)")),
              1);
    EXPECT_TRUE(shown.contains(QStringLiteral("stack_helper.cpp:"))) << "file and line";
    EXPECT_TRUE(shown.contains(QStringLiteral(" in libc.so.6")));
    EXPECT_FALSE(shown.contains(QStringLiteral("@GLIBC")));
    EXPECT_FALSE(shown.contains(QStringLiteral("truncated"))) << shown.toStdString();

    // Caller frames are looked up at pc - 1, so the line is the call's, in the right function.
    const int main = shown.indexOf(QStringLiteral(" main+"));
    EXPECT_GT(main, 0);

    EXPECT_EQ(StatusField(helper.pid(), "TracerPid:"), "0");
    EXPECT_NE(StatusField(helper.pid(), "State:").left(1), "t");
    EXPECT_TRUE(helper.EndsWhenAsked());
}

TEST(StackCapture, RepeatedCapturesOfManyThreadsStayConsistent)
{
    Helper helper(64);
    for (int round = 0; round < 3; ++round) {
        const StackCapture capture = CaptureStacks(static_cast<unsigned long>(helper.pid()));
        ASSERT_TRUE(capture.ok) << FailureText(capture).toStdString();
        EXPECT_EQ(capture.threads.size(), 65);
        EXPECT_GT(capture.stoppedMs, 0.0);
        int waiting = 0;
        for (const ThreadStack &thread : capture.threads) {
            EXPECT_FALSE(thread.frames.isEmpty()) << LeftOutText(thread).toStdString();
            for (const StackFrame &frame : thread.frames)
                waiting +=
                    frame.function == QStringLiteral("(anonymous namespace)::norva_wait_here()");
        }
        EXPECT_EQ(waiting, 64);
    }
    EXPECT_EQ(StatusField(helper.pid(), "TracerPid:"), "0");
    EXPECT_TRUE(helper.EndsWhenAsked());
}

TEST(StackCapture, LeaderThatExitedLeavesItsThreadsToShow)
{
    // The main thread ends by itself (the exit system call, not exit_group); the process lives
    // on in its other thread.
    const pid_t child = fork();
    if (child == 0) {
        pthread_t thread;
        pthread_create(
            &thread, nullptr,
            [](void *) -> void * {
                for (;;)
                    pause();
            },
            nullptr);
        syscall(SYS_exit, 0);
    }
    ASSERT_TRUE(WaitFor([&] { return StatusField(child, "State:").startsWith("Z"); }, 5000));
    const StackCapture capture = CaptureStacks(static_cast<unsigned long>(child));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    ASSERT_TRUE(capture.ok) << FailureText(capture).toStdString();
    ASSERT_EQ(capture.threads.size(), 2) << "the main thread is listed as exited";
    EXPECT_EQ(capture.threads[0].tid, child);
    EXPECT_EQ(capture.threads[0].leftOut, LeftOut::Exited);
    EXPECT_FALSE(capture.threads[1].frames.isEmpty());
}

TEST(StackCapture, WritesNothingAndSharesDebugInformationAcrossTargets)
{
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    ASSERT_TRUE(QDir(home.path()).mkdir(QStringLiteral(".cache"))); // as in any used home
    const QByteArray savedHome = qgetenv("HOME");
    qputenv("HOME", home.path().toLocal8Bit());
    qputenv("XDG_CACHE_HOME", home.filePath(QStringLiteral(".cache")).toLocal8Bit());
    auto libcLines = [](qint64 pid) {
        const StackCapture capture = CaptureStacks(static_cast<unsigned long>(pid));
        int lines = 0;
        for (const ThreadStack &thread : capture.threads)
            for (const StackFrame &frame : thread.frames)
                lines += frame.module == QStringLiteral("libc.so.6") && frame.line > 0;
        return capture.ok ? lines : -1;
    };
    int first = 0, second = 0;
    {
        Helper helper(2);
        first = libcLines(helper.pid());
    }
    {
        Helper helper(2); // a new target, the same C library
        second = libcLines(helper.pid());
    }
    qputenv("HOME", savedHome);
    qunsetenv("XDG_CACHE_HOME");
    EXPECT_GE(first, 0);
    EXPECT_EQ(second, first) << "the second target gets the same names and lines";
    {
        // A viewer started with a debuginfod server named (nothing listens there): still only
        // this machine's files.
        Helper helper(1);
        QProcess viewer;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), home.path());
        env.insert(QStringLiteral("XDG_CACHE_HOME"), home.filePath(QStringLiteral(".cache")));
        env.insert(QStringLiteral("DEBUGINFOD_URLS"), QStringLiteral("http://127.0.0.1:9/"));
        viewer.setProcessEnvironment(env);
        viewer.start(QStringLiteral(NORVA_CAPTURE_CLI), {QString::number(helper.pid())});
        ASSERT_TRUE(viewer.waitForFinished(20000));
        EXPECT_TRUE(viewer.readAllStandardOutput().contains("norva_wait_here"));
    }
    EXPECT_EQ(QDir(home.filePath(QStringLiteral(".cache")))
                  .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList());
}

TEST(StackCapture, ThreadThatCannotStopIsListedAndNothingIsHeldForIt)
{
    // The main thread sits in vfork, in uninterruptible sleep, for 5 s.
    Helper helper(2, {QStringLiteral("vfork"), QStringLiteral("5000")});
    const qint64 pid = helper.pid();
    QElapsedTimer timer;
    timer.start();
    const StackCapture capture = CaptureStacks(static_cast<unsigned long>(pid));
    // It leaves vfork over 4 s from now; a slow build (sanitizers) on a loaded machine may take
    // a second or two for the first capture.
    EXPECT_LT(timer.elapsed(), 4000) << "the capture does not wait for it";
    ASSERT_TRUE(capture.ok) << FailureText(capture).toStdString();
    int waiting = 0;
    for (const ThreadStack &thread : capture.threads) {
        if (thread.tid == pid) {
            EXPECT_TRUE(thread.leftOut == LeftOut::NotStopped &&
                        thread.state == ThreadState::DiskSleep)
                << LeftOutText(thread).toStdString() << StateText(thread.state).toStdString();
        }
        for (const StackFrame &frame : thread.frames)
            waiting += frame.function == QStringLiteral("(anonymous namespace)::norva_wait_here()");
    }
    EXPECT_EQ(waiting, 2) << "the other threads are captured as usual";
    EXPECT_LT(helper.Ask("gap").toDouble(), 500) << "the heartbeat was held only briefly";

    // Once out of vfork the main thread runs on: no stop was left pending, nothing traces it.
    ASSERT_TRUE(WaitFor([&] { return StatusField(pid, "State:").left(1) != "D"; }, 15000));
    QThread::msleep(50);
    for (const QString &task : QDir(QStringLiteral("/proc/%1/task").arg(pid))
                                   .entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        EXPECT_EQ(StatusField(task.toLongLong(), "TracerPid:"), "0") << task.toStdString();
        EXPECT_NE(StatusField(task.toLongLong(), "State:").left(1), "t") << task.toStdString();
    }
    EXPECT_TRUE(helper.EndsWhenAsked());
}

TEST(StackCapture, TargetKilledMidCaptureEndsIt)
{
    // Killed the moment the capture takes hold (it waits a few ms for the main thread, which
    // cannot stop). The killer runs at real-time priority where it may, so a busy machine does
    // not make it miss those milliseconds; a round it misses anyway is tried again.
    for (int round = 0; round < 5; ++round) {
        Helper helper(64, {QStringLiteral("vfork"), QStringLiteral("6000")});
        const qint64 pid = helper.pid();
        std::atomic<bool> captureDone{false}, killedInTime{false};
        std::thread killer([&] {
            const sched_param realTime = {1};
            pthread_setschedparam(pthread_self(), SCHED_FIFO, &realTime);
            while (StatusField(pid, "TracerPid:").toLongLong() == 0 && !captureDone) {
            }
            killedInTime = !captureDone;
            kill(static_cast<pid_t>(pid), SIGKILL);
        });
        QElapsedTimer timer;
        timer.start();
        const QString shown = AsShown(Capture(pid));
        const qint64 elapsed = timer.elapsed();
        captureDone = true;
        killer.join();
        EXPECT_TRUE(helper.Collected()) << "its parent collects it: nothing of ours holds it";
        if (!killedInTime)
            continue;
        EXPECT_LT(elapsed, 4000) << "ended at once, not when the thread in vfork could stop";
        EXPECT_TRUE(shown.contains(QStringLiteral("ended during the capture")))
            << shown.toStdString();
        return;
    }
    GTEST_SKIP() << "the kill never landed during a capture";
}

// A process that simply ends during a capture has ended, not started another program.
TEST(StackCapture, TargetThatExitsMidCaptureHasEnded)
{
    int ended = 0;
    std::string kinds;
    for (int round = 0; round < 6; ++round) {
        Helper helper(200, {QStringLiteral("exit"), QStringLiteral("2000")});
        for (;;) {
            const StackCapture capture = CaptureStacks(static_cast<unsigned long>(helper.pid()));
            if (capture.ok)
                continue;
            EXPECT_NE(capture.failure.kind, Failure::StartedAnotherProgram);
            ended += capture.failure.kind == Failure::EndedDuringCapture;
            kinds += std::to_string(static_cast<int>(capture.failure.kind)) + ' ';
            break;
        }
    }
    EXPECT_GT(ended, 0) << "no capture met the end; the failures were of kinds " << kinds;
}

// What keeps a viewer from a process is named: another user's process, a non-dumpable one of
// the same user, and the limits that keep the tracer from starting.
TEST(StackCapture, RefusalsAreExplainedWithTheirReason)
{
    if (geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
        GTEST_SKIP() << "needs root and setpriv to act as another user";
    const QStringList nobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    struct Case {
        const char *what;
        QStringList target, viewer;
        int threads;
        QStringList mode;
        const char *says;
    } cases[] = {
        {"another user's", {NORVA_STACK_HELPER}, nobody, 1, {}, "belongs to another user"},
        {"non-dumpable",
         nobody + QStringList{NORVA_STACK_HELPER},
         nobody,
         1,
         {"undumpable"},
         "has made itself non-dumpable"},
#if !defined(__SANITIZE_ADDRESS__) // the sanitizer's own reservations need the address space
        {"no address space for the tracer",
         {NORVA_STACK_HELPER},
         {"prlimit", "--as=209715200"},
         2000,
         {},
         "address-space limit"},
#endif
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.what);
        Helper helper(test.threads, test.mode, test.target);
        QProcess capture;
        capture.start(test.viewer.first(),
                      test.viewer.mid(1) +
                          QStringList{NORVA_CAPTURE_CLI, QString::number(helper.pid())});
        ASSERT_TRUE(capture.waitForFinished(20000));
        const QString shown = AsShown(QString::fromUtf8(capture.readAllStandardOutput()));
        EXPECT_TRUE(shown.contains(QLatin1String(test.says))) << shown.toStdString();
        EXPECT_TRUE(helper.EndsWhenAsked());
    }
}

// Starts a viewer that captures whatever process id shows up in file, repeat times.
std::unique_ptr<QProcess> Viewer(const QString &file, int repeat, const QStringList &under = {})
{
    auto viewer = std::make_unique<QProcess>();
    const QStringList args = {QStringLiteral("--peer"), file, QString::number(repeat)};
    if (under.isEmpty())
        viewer->start(QStringLiteral(NORVA_CAPTURE_CLI), args);
    else
        viewer->start(under.first(), under.mid(1) + QStringList{NORVA_CAPTURE_CLI} + args);
    EXPECT_TRUE(viewer->waitForStarted(5000));
    return viewer;
}

void Tell(const QString &file, qint64 pid)
{
    QFile out(file + QStringLiteral(".new"));
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(QByteArray::number(pid));
    out.close();
    ASSERT_TRUE(QFile::rename(out.fileName(), file));
}

QString Finish(QProcess *viewer)
{
    if (!viewer->waitForFinished(20000)) {
        viewer->kill();
        viewer->waitForFinished(5000);
        return QStringLiteral("(hung)");
    }
    return AsShown(QString::fromUtf8(viewer->readAllStandardOutput()));
}

TEST(StackCapture, ViewersThatMeetAlwaysReturnWithTheTruth)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString a = dir.filePath(QStringLiteral("a")), b = dir.filePath(QStringLiteral("b"));

    // Two viewers capturing each other, again and again.
    auto first = Viewer(a, 15), second = Viewer(b, 15);
    Tell(a, second->processId());
    Tell(b, first->processId());
    for (QProcess *viewer : {first.get(), second.get()}) {
        const QString shown = Finish(viewer);
        EXPECT_FALSE(shown.contains(QStringLiteral("(hung)")));
        EXPECT_FALSE(shown.contains(QStringLiteral("Permission denied"))) << shown.toStdString();
    }

    // Two viewers on one target: the one that finds the other at work says so.
    Helper target(8);
    const QString c = dir.filePath(QStringLiteral("c"));
    auto one = Viewer(c, 30), two = Viewer(c, 30);
    Tell(c, target.pid());
    for (QProcess *viewer : {one.get(), two.get()}) {
        const QString shown = Finish(viewer);
        EXPECT_FALSE(shown.contains(QStringLiteral("Permission denied"))) << shown.toStdString();
        EXPECT_FALSE(shown.contains(QStringLiteral("(hung)")));
    }
    EXPECT_EQ(StatusField(target.pid(), "TracerPid:"), "0");

    // A viewer under strace -f, asked to capture strace itself.
    if (QStandardPaths::findExecutable(QStringLiteral("strace")).isEmpty())
        GTEST_SKIP() << "strace is not installed";
    const QString d = dir.filePath(QStringLiteral("d"));
    auto traced = Viewer(d, 1,
                         {QStringLiteral("strace"), QStringLiteral("-f"), QStringLiteral("-o"),
                          QStringLiteral("/dev/null")});
    Tell(d, traced->processId());
    const QString shown = Finish(traced.get());
    EXPECT_TRUE(shown.contains(QStringLiteral("is tracing this viewer"))) << shown.toStdString();
}

// Where a thread begins: a walk that reaches one has shown the whole stack.
bool Outermost(const QString &function)
{
    return function.startsWith(QLatin1String("start_thread")) ||
           function.contains(QLatin1String("clone")) ||
           function.contains(QLatin1String("libc_start")) || function == QLatin1String("_start");
}

// A busy thread deep in one of two chains of calls: each capture shows one chain, as it was
// during the hold; whole, unless the stack is deeper than a thread may copy (8 MiB), where the
// walk says it stops at the copy's edge: never a stack cut without a word, and never one cut
// because threads with nothing to copy took the pool.
TEST(StackCapture, DeepStacksOfRunningThreadsAreShownAsTheyWere)
{
    const struct {
        const char *what;
        int threads;
        QStringList mode;
        bool whole;
    } cases[] = {
        {"160 KiB deep", 0, {"deep"}, true},
        {"9.1 MiB deep", 0, {"deep", "9300"}, false},
        {"2 MiB deep beside eight threads with wild stack pointers", 8, {"wild", "2048"}, true},
    };
    const QRegularExpression deep(QStringLiteral("^Deep<(\\d+)>::([AB])\\("));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Helper helper(c.threads, c.mode);
        int cut = 0;
        for (int round = 0; round < 20; ++round) {
            const StackCapture capture = CaptureStacks(static_cast<unsigned long>(helper.pid()));
            ASSERT_TRUE(capture.ok) << FailureText(capture).toStdString();
            for (const ThreadStack &thread : capture.threads) {
                QSet<QString> chains;
                QStringList shown;
                for (const StackFrame &frame : thread.frames) {
                    shown << frame.function;
                    if (const auto m = deep.match(frame.function); m.hasMatch())
                        chains << m.captured(2);
                }
                if (chains.isEmpty())
                    continue;
                EXPECT_LE(chains.size(), 1) << shown.join('\n').toStdString();
                const bool reachedStart =
                    !thread.frames.isEmpty() && Outermost(thread.frames.last().function);
                if (c.whole) {
                    EXPECT_TRUE(thread.walkEnd == WalkEnd::Complete && reachedStart)
                        << WalkEndText(thread).toStdString() << '\n'
                        << AsShown(FormatCapture(capture)).toStdString();
                } else {
                    EXPECT_TRUE(thread.walkEnd == WalkEnd::Complete
                                    ? reachedStart
                                    : thread.walkEnd == WalkEnd::BeyondCopy)
                        << WalkEndText(thread).toStdString() << '\n'
                        << shown.join('\n').toStdString();
                    cut += thread.walkEnd == WalkEnd::BeyondCopy;
                }
            }
        }
        if (!c.whole) {
            EXPECT_GT(cut, 0) << "never caught deeper than the copy";
        }
    }
}

// A signal handler running on an alternate stack: the stack it interrupted is in no copy, so
// the walk ends at the copy's edge rather than reading it live, where the thread has gone on
// (a capture showed a chain that never was, alt_b3 called from alt_a1).
TEST(StackCapture, HandlerOnAnAlternateStackShowsNoStackThatNeverWas)
{
    Helper helper(0, {QStringLiteral("altstack")});
    int inHandler = 0;
    for (int round = 0; round < 100; ++round) {
        const StackCapture capture = CaptureStacks(static_cast<unsigned long>(helper.pid()));
        ASSERT_TRUE(capture.ok) << FailureText(capture).toStdString();
        for (const ThreadStack &thread : capture.threads) {
            QSet<QChar> chains;
            QStringList shown;
            for (const StackFrame &frame : thread.frames) {
                shown << frame.function;
                if (frame.function.startsWith(QLatin1String("alt_")))
                    chains << frame.function.at(4);
                inHandler += frame.function.startsWith(QLatin1String("OnTheAlternateStack"));
            }
            EXPECT_LE(chains.size(), 1) << shown.join(QStringLiteral(" <- ")).toStdString();
        }
    }
    EXPECT_GT(inHandler, 0) << "never caught in the handler";
}

TEST(StackCapture, HoldEndsByItsDeadlineAtTwoThousandThreads)
{
    Helper helper(2000, {QStringLiteral("heartbeat")});
    helper.Ask("gap");
    const StackCapture capture = CaptureStacks(static_cast<unsigned long>(helper.pid()));
    ASSERT_TRUE(capture.ok) << FailureText(capture).toStdString();
    // 150 ms from the first stop asked for to the last thread let go, and some slack for a
    // busy machine; a hold that grows with the square of the threads takes over half a second.
    EXPECT_LT(capture.stoppedMs, 300);
    EXPECT_LT(helper.Ask("gap").toDouble(), 350);
}

// A viewer in a process group of its own, as a shell's job is.
class Job : public QProcess {
protected:
    void setupChildProcess() override { setpgid(0, 0); }
};

// ^Z to the viewer's job while it holds a target: the target goes free by the deadline all
// the same, not when the job is resumed.
TEST(StackCapture, TerminalStopOfTheViewerLetsTheTargetGo)
{
    Helper helper(2000);
    const qint64 pid = helper.pid();
    for (int round = 0; round < 5; ++round) {
        Job viewer;
        viewer.start(QStringLiteral(NORVA_CAPTURE_CLI), {QString::number(pid)});
        ASSERT_TRUE(viewer.waitForStarted(5000));
        bool stopped = false;
        QElapsedTimer waited;
        waited.start();
        while (!stopped && waited.elapsed() < 5000 && viewer.state() == QProcess::Running) {
            if (StatusField(pid, "TracerPid:").toLongLong() != 0)
                stopped = kill(-static_cast<pid_t>(viewer.processId()), SIGTSTP) == 0;
        }
        if (stopped) {
            // Let go by the hold's deadline (150 ms), long before the viewer goes on.
            const auto held = [pid] {
                int n = 0;
                for (const QString &task : QDir(QStringLiteral("/proc/%1/task").arg(pid))
                                               .entryList(QDir::Dirs | QDir::NoDotAndDotDot))
                    n += StatusField(task.toLongLong(), "State:").startsWith('t') ||
                         StatusField(task.toLongLong(), "TracerPid:") != "0";
                return n;
            };
            EXPECT_TRUE(WaitFor([&] { return held() == 0; }, 15000))
                << "threads still held while the viewer is stopped";
        }
        kill(-static_cast<pid_t>(viewer.processId()), SIGCONT);
        EXPECT_TRUE(viewer.waitForFinished(20000));
        if (stopped)
            return;
    }
    GTEST_SKIP() << "the stop never landed during a capture";
}

TEST(StackCapture, ThreadThatStartsAProgramEndsTheCaptureAtOnce)
{
    Helper helper(4, {QStringLiteral("exec")});
    for (int round = 0; round < 25; ++round) {
        const StackCapture capture = CaptureStacks(static_cast<unsigned long>(helper.pid()));
        if (!capture.ok) {
            EXPECT_TRUE(FailureText(capture).contains(QStringLiteral("started another program")))
                << FailureText(capture).toStdString();
            continue;
        }
        // Registers and modules of one and the same program: the innermost frame lies in a
        // module, unless the capture says that code came and went under it.
        for (const ThreadStack &thread : capture.threads) {
            if (thread.leftOut == LeftOut::No && capture.notes.isEmpty()) {
                ASSERT_FALSE(thread.frames.isEmpty()) << WalkEndText(thread).toStdString();
                EXPECT_FALSE(thread.frames[0].module.isEmpty())
                    << FormatCapture(capture).toStdString();
            }
        }
    }
}

bool Tool(const QString &program, const QStringList &args)
{
    QProcess process;
    process.start(program, args);
    return process.waitForFinished(60000) && process.exitCode() == 0;
}

// A compressed section's contents in the GNU layout: "ZLIB", the inflated size (8 bytes, most
// significant first), the zlib stream. Zeros inflate a thousandfold.
QByteArray ZeroBomb(quint64 size)
{
    QByteArray out("ZLIB");
    for (int shift = 56; shift >= 0; shift -= 8)
        out.append(static_cast<char>((size >> shift) & 0xff));
    z_stream z = {};
    deflateInit(&z, Z_BEST_SPEED);
    std::vector<unsigned char> zeros(1 << 20), chunk(1 << 16);
    for (quint64 done = 0; done < size;) {
        const quint64 n = std::min<quint64>(zeros.size(), size - done);
        done += n;
        z.next_in = zeros.data();
        z.avail_in = static_cast<uInt>(n);
        do {
            z.next_out = chunk.data();
            z.avail_out = static_cast<uInt>(chunk.size());
            deflate(&z, done == size ? Z_FINISH : Z_NO_FLUSH);
            out.append(reinterpret_cast<char *>(chunk.data()),
                       static_cast<int>(chunk.size() - z.avail_out));
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    return out;
}

QString CaptureText(const Helper &helper)
{
    const StackCapture capture = CaptureStacks(static_cast<unsigned long>(helper.pid()));
    return capture.ok ? AsShown(FormatCapture(capture)) : FailureText(capture);
}

TEST(StackCapture, ModuleAndDebugFilesAreTheOnesTheTargetSees)
{
    if (QStandardPaths::findExecutable(QStringLiteral("objcopy")).isEmpty())
        GTEST_SKIP() << "needs objcopy";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString debug = dir.filePath(QStringLiteral("helper.debug"));
    ASSERT_TRUE(Tool("objcopy", {"--only-keep-debug", NORVA_STACK_HELPER, debug}));
    QFile bombFile(dir.filePath(QStringLiteral("bomb")));
    ASSERT_TRUE(bombFile.open(QIODevice::WriteOnly));
    bombFile.write(ZeroBomb(320ull << 20)); // more than one debug file may take
    bombFile.close();
    // Each folder: the helper without symbols, and a debug file beside it that it links to;
    // all with the same build-id.
    const auto folder = [&](const QString &name, const QStringList &debugChange) {
        const QString at = dir.filePath(name);
        QDir().mkpath(at);
        EXPECT_TRUE(Tool("objcopy", debugChange + QStringList{debug, at + "/helper.debug"}));
        EXPECT_TRUE(Tool("objcopy", {"--strip-all", "--add-gnu-debuglink=" + at + "/helper.debug",
                                     NORVA_STACK_HELPER, at + "/helper"}));
        return at + "/helper";
    };
    const QString planted =
        folder("planted", {"--redefine-sym", "_ZN12_GLOBAL__N_115norva_wait_hereEv=planted_here"});
    const QString genuine = folder("genuine", {});
    const QString loose = folder("loose", {"--add-section", ".zdebug_loc=" + bombFile.fileName()});
    const QString needed =
        folder("needed", {"--add-section", ".zdebug_addr=" + bombFile.fileName()});

    // A target's own debug file names its frames, and no other target's.
    EXPECT_TRUE(CaptureText(Helper(2, {}, {planted})).contains(QStringLiteral("planted_here")));
    const QString shown = CaptureText(Helper(2, {}, {genuine}));
    EXPECT_TRUE(shown.contains(QStringLiteral("norva_wait_here()"))) << shown.toStdString();
    EXPECT_FALSE(shown.contains(QStringLiteral("planted_here")));

    // A bomb in a section nobody reads is never inflated; one in a needed section skips the
    // file, and the text says so.
    const QString loosely = CaptureText(Helper(2, {}, {loose}));
    EXPECT_TRUE(loosely.contains(QStringLiteral("norva_wait_here()"))) << loosely.toStdString();
    EXPECT_LT(DebugFileCacheBytes(), 64ull << 20);
    const QString skipped = CaptureText(Helper(2, {}, {needed}));
    EXPECT_TRUE(skipped.contains(QStringLiteral("was skipped")) &&
                skipped.contains(QStringLiteral("needed/helper.debug")))
        << skipped.left(500).toStdString();
    EXPECT_LT(DebugFileCacheBytes(), 64ull << 20);

    // A bomb among a module's own compressed sections is left out before libdw would inflate
    // it: a compressed debug section, or a MiniDebugInfo symbol table (xz) in a module that has
    // no other.
    const QString xzBomb = dir.filePath(QStringLiteral("xz-bomb"));
    ASSERT_TRUE(Tool("sh", {"-c", "head -c 335544320 /dev/zero | xz -0 >" + xzBomb}));
    const struct {
        const char *name;
        QStringList change;
        const char *note;
        bool named; // from the module's own symbols still
    } bombs[] = {
        {"zdebug",
         {"--add-section", ".zdebug_addr=" + bombFile.fileName()},
         "compressed debug sections of",
         true},
        // A section nobody reads (libdw would inflate it as it opens the file): left out
        // without a word.
        {"unread", {"--add-section", ".zdebug_macro=" + bombFile.fileName()}, "", true},
        {"minidebuginfo",
         {"--strip-all", "--add-section", ".gnu_debugdata=" + xzBomb},
         "MiniDebugInfo symbol table of",
         false},
    };
    for (const auto &bomb : bombs) {
        SCOPED_TRACE(bomb.name);
        const QString inModule = dir.filePath(QString::fromLatin1(bomb.name));
        ASSERT_TRUE(Tool("objcopy", bomb.change + QStringList{NORVA_STACK_HELPER, inModule}));
        ASSERT_TRUE(QFile::setPermissions(inModule, QFile::ReadOwner | QFile::ExeOwner));
        QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
        ASSERT_TRUE(clearRefs.open(QIODevice::WriteOnly) && clearRefs.write("5") == 1); // peak
        clearRefs.close();
        const long long before = StatusField(getpid(), "VmHWM:").split(' ').value(0).toLongLong();
        const QString leftOut = CaptureText(Helper(2, {}, {inModule}));
        const long long after = StatusField(getpid(), "VmHWM:").split(' ').value(0).toLongLong();
        EXPECT_TRUE(leftOut.contains(QLatin1String(bomb.note))) << leftOut.left(500).toStdString();
        EXPECT_EQ(leftOut.contains(QStringLiteral("norva_wait_here()")), bomb.named);
        EXPECT_LT(after - before, 100 * 1024) << "kB more at the peak";
    }

    // Another file mounted over the mapped one, in the target's own mount namespace: the names
    // come from the file it runs, or from nowhere.
    if (geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("unshare")).isEmpty())
        GTEST_SKIP() << "needs root, unshare and nsenter for a mount namespace";
    Helper hidden(2, {}, {"unshare", "-m", "--propagation", "private", genuine});
    ASSERT_TRUE(Tool("nsenter", {"-t", QString::number(hidden.pid()), "-m", "mount", "--bind",
                                 NORVA_CAPTURE_CLI, genuine}));
    const QString behind = CaptureText(hidden);
    EXPECT_TRUE(behind.contains(QStringLiteral("norva_wait_here()"))) << behind.toStdString();
}

// The files libdw would open by itself are checked first, at every path it tries: a split unit
// under a relative compilation folder (reproducible builds) that is a bomb, or a FIFO; and a
// debug link of a program without a build-id that names a 20 GiB file, whose CRC was computed
// before anything else (49.9 s).
TEST(StackCapture, FilesLibdwWouldOpenAreCheckedFirst)
{
    for (const char *tool : {"gcc", "objcopy", "truncate"})
        if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
            GTEST_SKIP() << "needs " << tool;
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QFile source(dir.filePath(QStringLiteral("split.c")));
    ASSERT_TRUE(source.open(QIODevice::WriteOnly));
    source.write("#include <stdio.h>\n#include <unistd.h>\n"
                 "__attribute__((noinline)) void split_waits(void)\n"
                 "{ char c; read(0, &c, 1); __asm__ volatile(\"\"); }\n"
                 "int main(void) { puts(\"ready\"); fflush(stdout); split_waits(); return 0; }\n");
    source.close();
    QFile bombFile(dir.filePath(QStringLiteral("bomb.zlib")));
    ASSERT_TRUE(bombFile.open(QIODevice::WriteOnly));
    bombFile.write(ZeroBomb(320ull << 20));
    bombFile.close();
    // Compiled in <name>/sub with its compilation folder recorded as "sub" and linked into
    // <name>: libdw looks for the split unit at <name>/split.dwo, then <name>/sub/split.dwo.
    const auto build = [&](const QString &name, const QStringList &options) {
        const QString at = dir.filePath(name);
        QDir().mkpath(at + "/sub");
        const auto gcc = [&](const QStringList &args) {
            QProcess run;
            run.setWorkingDirectory(at + "/sub");
            run.start(QStringLiteral("gcc"), args);
            EXPECT_TRUE(run.waitForFinished(60000) && run.exitCode() == 0)
                << run.readAllStandardError().toStdString();
        };
        gcc(QStringList{"-O1", "-g", "-fdebug-prefix-map=" + at + "/sub=sub", "-c"} + options +
            QStringList{source.fileName(), "-o", "split.o"});
        gcc(QStringList{"split.o", "-o", at + "/split"} + options);
        return at;
    };
    const auto peak = [] {
        QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
        EXPECT_TRUE(clearRefs.open(QIODevice::WriteOnly) && clearRefs.write("5") == 1);
    };
    const auto peakKb = [] {
        return StatusField(getpid(), "VmHWM:").split(' ').value(0).toLongLong();
    };
    {
        SCOPED_TRACE("a split unit whose sections inflate to 320 MiB");
        const QString at = build(QStringLiteral("bomb"), {"-gsplit-dwarf"});
        ASSERT_TRUE(Tool("objcopy", {"--add-section", ".zdebug_loclists.dwo=" + bombFile.fileName(),
                                     at + "/sub/split.dwo"}));
        peak();
        const long long before = peakKb();
        const QString shown = CaptureText(Helper(0, {}, {at + "/split"}));
        EXPECT_LT(peakKb() - before, 100 * 1024) << "kB more at the peak";
        EXPECT_TRUE(shown.contains(QStringLiteral("the split unit"))) << shown.toStdString();
        EXPECT_TRUE(shown.contains(QStringLiteral("split_waits+0x"))) << "from the symbols";
    }
    {
        SCOPED_TRACE("a FIFO where the split unit would be");
        const QString at = build(QStringLiteral("fifo"), {"-gsplit-dwarf"});
        ASSERT_TRUE(QFile::remove(at + "/sub/split.dwo"));
        ASSERT_EQ(mkfifo((at + "/sub/split.dwo").toLocal8Bit().constData(), 0644), 0);
        QElapsedTimer timer;
        timer.start();
        const QString shown = CaptureText(Helper(0, {}, {at + "/split"}));
        EXPECT_TRUE(shown.contains(QStringLiteral("the split unit"))) << shown.toStdString();
        EXPECT_LT(timer.elapsed(), 10000);
    }
    {
        SCOPED_TRACE("a debug link to a 20 GiB file that is no ELF file");
        const QString at = build(QStringLiteral("link"), {"-Wl,--build-id=none"});
        ASSERT_TRUE(Tool("truncate", {"-s", "20G", at + "/split.debug"}));
        // The link by hand: objcopy would read the 20 GiB for its CRC too.
        QFile link(at + "/link");
        ASSERT_TRUE(link.open(QIODevice::WriteOnly));
        link.write(QByteArray("split.debug\0\0\0\0\x78\x56\x34\x12", 16));
        link.close();
        // Without debug information of its own, so that the link is followed.
        ASSERT_TRUE(Tool("objcopy", {"--strip-debug", "--add-section",
                                     ".gnu_debuglink=" + link.fileName(), at + "/split"}));
        QElapsedTimer timer;
        timer.start();
        const QString shown = CaptureText(Helper(0, {}, {at + "/split"}));
        EXPECT_LT(timer.elapsed(), 10000) << "the whole file was read";
        EXPECT_TRUE(shown.contains(QStringLiteral("split_waits"))) << shown.toStdString();
    }
}

// The helper's own process: inside a PID namespace, the child that unshare started.
qint64 TargetOf(const Helper &helper, bool inNamespace)
{
    if (!inNamespace)
        return helper.pid();
    QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(helper.pid()));
    return children.open(QIODevice::ReadOnly) ? children.readAll().trimmed().toLongLong() : 0;
}

// n copies of a small library, each calling the next one's norva_chain, with a debug file of its
// own beside each: made with the options keep, then changed with change where given.
bool BuildChain(const QString &dir, int n, const QStringList &keep = {},
                const QStringList &change = {})
{
    QFile source(dir + QStringLiteral("/chain.c"));
    if (!source.open(QIODevice::WriteOnly))
        return false;
    source.write(
        "#include <unistd.h>\n"
        "typedef void (*chain_fn)(void *const *, int, int);\n"
        "void norva_chain(void *const *fns, int i, int n)\n"
        "{\n"
        "    if (i + 1 < n) ((chain_fn)fns[i + 1])(fns, i + 1, n);\n"
        "    else for (;;) pause();\n"
        "    __asm__ volatile(\"\");\n" // not a tail call: every library stays on the stack
        "}\n");
    source.close();
    const QString built = dir + QStringLiteral("/chain.so");
    if (!Tool("cc", {"-shared", "-fPIC", "-g", "-O1", "-o", built, source.fileName()}))
        return false;
    for (int i = 0; i < n; ++i) {
        const QString stem = dir + QStringLiteral("/lib%1").arg(i);
        if (!Tool("objcopy",
                  QStringList{"--only-keep-debug"} + keep + QStringList{built, stem + ".debug"}) ||
            (!change.isEmpty() && !Tool("objcopy", change + QStringList{stem + ".debug"})) ||
            !Tool("objcopy",
                  {"--strip-debug", "--add-gnu-debuglink=" + stem + ".debug", built, stem + ".so"}))
            return false;
    }
    return true;
}

// Open files stay bounded whatever the targets were: a target of many modules with debug files
// of their own, captured again and again under a low limit, leaves room for the next one.
TEST(StackCapture, OpenFilesStayBoundedAcrossTargetsOfManyModules)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(BuildChain(dir.path(), 60));
    Helper many(0, {QStringLiteral("chain"), dir.path(), QStringLiteral("60")});
    Helper plain(1);
    const QString big = QString::number(many.pid());
    QProcess viewer;
    viewer.start(QStringLiteral("prlimit"),
                 {"--nofile=128", NORVA_CAPTURE_CLI, big, big, big, QString::number(plain.pid())});
    ASSERT_TRUE(viewer.waitForFinished(60000));
    const QStringList texts = AsShown(QString::fromUtf8(viewer.readAllStandardOutput()))
                                  .split(QStringLiteral("No stack traces"));
    const QString shown = texts.join(QStringLiteral("No stack traces"));
    EXPECT_EQ(texts.size(), 1) << shown.left(2000).toStdString();
    EXPECT_EQ(shown.count(QStringLiteral("norva_chain+")), 3 * 60) << "named from each debug file";
    EXPECT_TRUE(shown.contains(QStringLiteral("norva_wait_here()")));
}

// Runs norva-capture-cli on pid (as the user that command names first, when it does), within
// a deadline: the text, or "(no answer)" when it did not return.
QString CaptureByCli(qint64 pid, const QStringList &as = {})
{
    QProcess viewer;
    const QStringList command = as + QStringList{NORVA_CAPTURE_CLI, QString::number(pid)};
    viewer.start(command.first(), command.mid(1));
    if (!viewer.waitForFinished(20000)) {
        viewer.kill();
        viewer.waitForFinished(5000);
        return QStringLiteral("(no answer)");
    }
    return AsShown(QString::fromUtf8(viewer.readAllStandardOutput()));
}

// A module file is the one the process maps, or it names nothing: a library replaced at the
// same addresses after the hold, a FIFO at a debug link or mounted over a library (opens that
// would wait for ever), and a btrfs subvolume (whose files stat gives another device than the
// map) read by an ordinary user.
TEST(StackCapture, ModuleFilesAreTheOnesMappedAndNeverMakeTheViewerWait)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner |
                                                      QFile::ExeOwner | QFile::ReadOther |
                                                      QFile::ExeOther));
    // Two libraries of one layout that a thread loads and unloads in turn.
    for (const char *name : {"A", "B"}) {
        const QString spin = QString(4, QLatin1Char(name[0] + 32)) + QStringLiteral("_spin");
        QFile source(dir.filePath(QStringLiteral("lib%1.c").arg(name)));
        ASSERT_TRUE(source.open(QIODevice::WriteOnly));
        source.write(("void " + spin +
                      "(void)\n{\n    for (volatile int i = 0; i < 3000000; ++i) "
                      "{\n    }\n}\n")
                         .toUtf8());
        source.close();
        ASSERT_TRUE(Tool("gcc", {"-O1", "-g", "-shared", "-fPIC", source.fileName(), "-o",
                                 dir.filePath(QStringLiteral("lib%1.so").arg(name))}));
    }
    {
        SCOPED_TRACE("libraries that take turns at one address");
        Helper helper(0, {QStringLiteral("churn-libs"), dir.path()});
        int right = 0, wrong = 0;
        for (int round = 0; round < 40; ++round) {
            const StackCapture capture = CaptureStacks(static_cast<unsigned long>(helper.pid()));
            for (const ThreadStack &thread : capture.threads) {
                for (const StackFrame &frame : thread.frames) {
                    const bool inA = frame.module == QLatin1String("libA.so");
                    const bool inB = frame.module == QLatin1String("libB.so");
                    right += (inA && frame.function.startsWith(QLatin1String("aaaa"))) ||
                             (inB && frame.function.startsWith(QLatin1String("bbbb")));
                    wrong += (inA && frame.function.startsWith(QLatin1String("bbbb"))) ||
                             (inB && frame.function.startsWith(QLatin1String("aaaa")));
                }
            }
        }
        EXPECT_EQ(wrong, 0) << "frames named from the other library; named right: " << right;
        EXPECT_GT(right, 0);
    }
    // One library of a chain whose debug file beside it is a FIFO.
    const QString chain = dir.filePath(QStringLiteral("chain"));
    ASSERT_TRUE(QDir().mkpath(chain) && BuildChain(chain, 1));
    ASSERT_TRUE(QFile::remove(chain + "/lib0.debug"));
    ASSERT_EQ(mkfifo((chain + "/lib0.debug").toLocal8Bit().constData(), 0644), 0);
    ASSERT_EQ(mkfifo(dir.filePath(QStringLiteral("fifo")).toLocal8Bit().constData(), 0644), 0);
    ASSERT_TRUE(Tool("chmod", {"-R", "a+rX", dir.path()}));
    {
        SCOPED_TRACE("a FIFO at a debug link");
        Helper helper(0, {QStringLiteral("chain"), chain, QStringLiteral("1")});
        EXPECT_TRUE(CaptureByCli(helper.pid()).contains(QStringLiteral("norva_chain+0x")));
    }
    if (geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
        GTEST_SKIP() << "needs root and setpriv for the cases of an ordinary user";
    {
        SCOPED_TRACE("two files mapped under one path");
        const QString twice = dir.filePath(QStringLiteral("twice"));
        ASSERT_TRUE(QDir().mkpath(twice));
        const char *sources[] = {
            "#include <unistd.h>\nvoid norva_first(void) { for (;;) pause(); }\n",
            "#include <unistd.h>\nvoid padding_one(void) { for (volatile int i = 0; i < 9; ++i) {} "
            "}\n"
            "void padding_two(void) { for (volatile int i = 0; i < 9; ++i) {} }\n"
            "void norva_second(void) { for (;;) pause(); }\n"};
        for (int i = 0; i < 2; ++i) {
            QFile c(twice + QStringLiteral("/lib%1.c").arg(i + 1));
            ASSERT_TRUE(c.open(QIODevice::WriteOnly));
            c.write(sources[i]);
            c.close();
            ASSERT_TRUE(Tool("gcc", {"-O1", "-g", "-shared", "-fPIC", c.fileName(), "-o",
                                     twice + QStringLiteral("/lib%1.so").arg(i + 1)}));
        }
        ASSERT_TRUE(QFile::copy(twice + "/lib1.so", twice + "/lib.so"));
        Helper helper(0, {QStringLiteral("two-files"), twice},
                      {"unshare", "-m", "--propagation", "private", NORVA_STACK_HELPER});
        ASSERT_TRUE(Tool("nsenter", {"-t", QString::number(helper.pid()), "-m", "mount", "--bind",
                                     twice + "/lib2.so", twice + "/lib.so"}));
        ASSERT_EQ(helper.Ask("next"), "loaded");
        const QString shown = CaptureText(helper);
        EXPECT_TRUE(shown.contains(QStringLiteral("norva_first+")) &&
                    shown.contains(QStringLiteral("norva_second+")) &&
                    !shown.contains(QStringLiteral("padding_")))
            << shown.toStdString();
    }
    const QStringList nobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    {
        SCOPED_TRACE("a FIFO mounted over a library in the target's own namespaces");
        Helper helper(0, {QStringLiteral("chain"), chain, QStringLiteral("1")},
                      nobody + QStringList{"unshare", "-Urm", NORVA_STACK_HELPER});
        const qint64 pid = helper.pid(); // unshare has become the helper
        ASSERT_TRUE(Tool("nsenter", {"-t", QString::number(pid), "-U", "-m", "mount", "--bind",
                                     dir.filePath("fifo"), chain + "/lib0.so"}));
        const QString shown = CaptureByCli(pid, nobody);
        EXPECT_TRUE(shown.contains(QStringLiteral("is not the one the process has mapped")))
            << shown.toStdString();
    }
    if (QStandardPaths::findExecutable(QStringLiteral("mkfs.btrfs")).isEmpty() ||
        !QFile::exists(QStringLiteral("/dev/loop-control")))
        GTEST_SKIP() << "needs mkfs.btrfs (btrfs-progs) and loop devices";
    {
        SCOPED_TRACE("a btrfs subvolume, read by an ordinary user");
        const QString image = dir.filePath(QStringLiteral("btrfs.img")),
                      mount = dir.filePath(QStringLiteral("btrfs"));
        ASSERT_TRUE(QFile(image).open(QIODevice::WriteOnly) && QFile(image).resize(300ll << 20));
        ASSERT_TRUE(QDir().mkpath(mount));
        ASSERT_TRUE(Tool("mkfs.btrfs", {"-q", image}));
        ASSERT_TRUE(Tool("mount", {"-o", "loop", image, mount}));
        const QString sub = mount + QStringLiteral("/sub");
        EXPECT_TRUE(Tool("btrfs", {"-q", "subvolume", "create", sub}));
        EXPECT_TRUE(QFile::copy(QStringLiteral(NORVA_STACK_HELPER), sub + "/helper"));
        EXPECT_TRUE(Tool("chmod", {"-R", "a+rx", mount}));
        {
            Helper helper(2, {}, nobody + QStringList{sub + "/helper"});
            const QString shown = CaptureByCli(helper.pid(), nobody);
            EXPECT_TRUE(shown.contains(QStringLiteral("norva_wait_here()")) &&
                        !shown.contains(QStringLiteral("truncated")))
                << shown.toStdString();
        }
        EXPECT_TRUE(Tool("umount", {mount}));
    }
}

// Threads asleep in calls that a stop ends early with EINTR are asleep, where they were; and
// io_uring's kernel workers are named as such, not walked as user threads.
TEST(StackCapture, ThreadsInCallsThatTheStopEndsAreAsleep)
{
    Helper helper(0, {QStringLiteral("interrupted")});
    const StackCapture capture = CaptureStacks(static_cast<unsigned long>(helper.pid()));
    ASSERT_TRUE(capture.ok) << FailureText(capture).toStdString();
    const QStringList asleep = {"norva-epoll", "norva-sigwait", "norva-uring"};
    QStringList seen;
    for (const ThreadStack &thread : capture.threads) {
        if (asleep.contains(thread.name)) {
            seen << thread.name;
            EXPECT_EQ(thread.state, ThreadState::Sleeping) << thread.name.toStdString();
            EXPECT_FALSE(thread.waitChannel.isEmpty()) << thread.name.toStdString();
        }
        if (thread.name.startsWith(QLatin1String("iou-"))) {
            seen << QStringLiteral("worker");
            EXPECT_EQ(thread.leftOut, LeftOut::IoUringWorker);
            EXPECT_TRUE(thread.frames.isEmpty());
        }
    }
    seen.sort();
    EXPECT_EQ(seen.join(' '), asleep.join(' ') + QStringLiteral(" worker"));
}

// The bound on inflated debug copies holds where the memory is: a target whose debug files
// inflate to more than the bound gets some of them, and a note for the rest.
TEST(StackCapture, InflatedDebugCopiesStayUnderTheirBound)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QFile bomb(dir.filePath(QStringLiteral("bomb")));
    ASSERT_TRUE(bomb.open(QIODevice::WriteOnly));
    bomb.write(ZeroBomb(16ull << 20));
    bomb.close();
    ASSERT_TRUE(BuildChain(dir.path(), 40, {"--compress-debug-sections=zlib"},
                           {"--add-section", ".zdebug_addr=" + bomb.fileName()}));
    Helper many(0, {QStringLiteral("chain"), dir.path(), QStringLiteral("40")});
    const QString shown = CaptureText(many);
    // The copies alive: every in-memory debug file this process holds, once each.
    QSet<ino_t> seen;
    unsigned long long bytes = 0;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString &fd : fds.entryList(QDir::AllEntries | QDir::System)) {
        const QByteArray path = fds.filePath(fd).toLocal8Bit();
        char target[256] = {};
        struct stat st;
        if (readlink(path.constData(), target, sizeof(target) - 1) > 0 &&
            std::strstr(target, "norva-debuginfo") && stat(path.constData(), &st) == 0 &&
            !seen.contains(st.st_ino)) {
            seen.insert(st.st_ino);
            bytes += static_cast<unsigned long long>(st.st_size);
        }
    }
    EXPECT_LE(bytes, 512ull << 20);
    EXPECT_GE(bytes, 256ull << 20) << "as many as fit are used";
    EXPECT_TRUE(shown.contains(QStringLiteral("in use already takes the 512 MiB")))
        << shown.left(1000).toStdString();
}

// Threads waiting for a mutex name its owner, in a container's numbering too; a deadlock opens
// the text, a thread that locks its own mutex included; a thread waiting on a condition variable
// names nobody; a lock the system refused claims no mutex.
TEST(StackCapture, LockWaitsNameTheThreadHoldingTheLock)
{
    struct Case {
        const char *mode;
        bool inNamespace;
        QVector<QPair<QString, QString>> waits; // thread name -> name of the lock's owner
        const char *deadlock;                   // how the text opens, or null
        const char *refused;                    // a thread whose lock was refused
    };
    const Case cases[] = {
        {"abba",
         false,
         {{"norva-abba-a", "norva-abba-b"}, {"norva-abba-b", "norva-abba-a"}},
         "Deadlock: 2 threads wait for each other",
         nullptr},
        {"abba",
         true,
         {{"norva-abba-a", "norva-abba-b"}, {"norva-abba-b", "norva-abba-a"}},
         "Deadlock: 2 threads wait for each other",
         nullptr},
        {"owner",
         false,
         {{"norva-waiter", "norva-holder"}, {"norva-holder", ""}, {"norva-cond", ""}},
         nullptr,
         nullptr},
        {"self",
         false,
         {{"norva-self", "norva-self"}},
         "Deadlock: a thread waits for a lock it",
         nullptr},
        {"pi",
         false,
         {{"norva-pi-a", "norva-pi-b"}, {"norva-pi-b", "norva-pi-c"}, {"norva-pi-c", ""}},
         nullptr,
         "norva-pi-c"},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(std::string(test.mode) + (test.inNamespace ? " in a PID namespace" : ""));
        if (test.inNamespace && geteuid() != 0)
            continue; // a PID namespace of its own needs root
        const QStringList unshare = {"unshare", "-pf", "--kill-child", NORVA_STACK_HELPER};
        Helper helper(0, {QString::fromLatin1(test.mode)},
                      test.inNamespace ? unshare : QStringList{NORVA_STACK_HELPER});
        const StackCapture capture =
            CaptureStacks(static_cast<unsigned long>(TargetOf(helper, test.inNamespace)));
        ASSERT_TRUE(capture.ok) << FailureText(capture).toStdString();
        QHash<long long, QString> names;
        for (const ThreadStack &thread : capture.threads)
            names.insert(thread.tid, thread.name);
        for (const auto &wait : test.waits) {
            int seen = 0;
            for (const ThreadStack &thread : capture.threads) {
                if (thread.name != wait.first)
                    continue;
                ++seen;
                EXPECT_EQ(names.value(thread.lockOwner), wait.second)
                    << wait.first.toStdString() << " "
                    << LockKindText(thread.lockKind).toStdString();
                const bool refused = test.refused && wait.first == QLatin1String(test.refused);
                EXPECT_EQ(thread.lockRefused, refused) << wait.first.toStdString();
                if (refused) {
                    EXPECT_EQ(thread.lockAddress, 0u) << "the word it parks on is no mutex";
                }
            }
            EXPECT_GT(seen, 0) << wait.first.toStdString();
        }
        const QString shown = AsShown(FormatCapture(capture));
        const QStringList lines = shown.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        ASSERT_GT(lines.size(), 2);
        EXPECT_EQ(lines[1].startsWith(QLatin1String(test.deadlock ? test.deadlock : "Deadlock")),
                  test.deadlock != nullptr)
            << shown.left(600).toStdString();
        if (QLatin1String(test.mode) == QLatin1String("owner")) {
            EXPECT_TRUE(shown.contains(QStringLiteral("\n3 threads: norva-waiter ")))
                << shown.toStdString();
        }
    }
}

// A frame as eu-stack shows it: one for each return address on the stack, no inlined calls.
struct PeerFrame {
    uint64_t pc = 0;
    QString name;
};

QHash<long long, QVector<PeerFrame>> PeerStacks(qint64 pid)
{
    QProcess peer;
    peer.start(QStringLiteral("eu-stack"), {QStringLiteral("-p"), QString::number(pid)});
    peer.waitForFinished(60000);
    QHash<long long, QVector<PeerFrame>> stacks;
    long long tid = 0;
    const QRegularExpression frame(QStringLiteral("^#\\d+\\s+0x([0-9a-f]+)\\s*(.*)$"));
    for (const QString &line : QString::fromUtf8(peer.readAllStandardOutput()).split('\n')) {
        if (line.startsWith(QLatin1String("TID ")))
            tid = line.mid(4).section(':', 0, 0).toLongLong();
        else if (const QRegularExpressionMatch m = frame.match(line); m.hasMatch() && tid)
            stacks[tid].push_back({m.captured(1).toULongLong(nullptr, 16), m.captured(2)});
    }
    return stacks;
}

// A function's name with the C library's alias spellings and version taken off: the tools
// may pick different symbols for one address ("read", "__GI___libc_read").
QString Plain(QString name)
{
    name = name.section('@', 0, 0);
    for (const char *part : {"__GI_", "__libc_", "_new", "_impl"})
        name.remove(QLatin1String(part));
    while (name.startsWith('_'))
        name.remove(0, 1);
    return name;
}

// The frames of a thread that have a return address on the stack: inlined calls are left to
// gdb, the judge of names (eu-stack misses them where the debug information is hard to read,
// in link-time optimised programs with their debug package installed).
QVector<StackFrame> Physical(const QVector<StackFrame> &frames)
{
    QVector<StackFrame> physical;
    for (const StackFrame &frame : frames)
        if (!frame.inlined)
            physical << frame;
    return physical;
}

// The threads of pid whose physical frames eu-stack finds at the same addresses as ours, and
// the frames among them that the two name differently where the judge (gdb) does not side with
// us; -1 threads when no capture came. judge(tid, pc, name): whether it names that frame so.
int CompareWithPeer(qint64 pid, QStringList *differences,
                    const std::function<bool(long long, uint64_t, const QString &)> &judge)
{
    const StackCapture ours = CaptureStacks(static_cast<unsigned long>(pid));
    const QHash<long long, QVector<PeerFrame>> theirs = PeerStacks(pid);
    if (!ours.ok)
        return -1;
    int compared = 0;
    for (const ThreadStack &thread : ours.threads) {
        const QVector<PeerFrame> peer = theirs.value(thread.tid);
        const QVector<StackFrame> frames = Physical(thread.frames);
        bool samePlaces = peer.size() == frames.size();
        for (int i = 0; samePlaces && i < peer.size(); ++i)
            samePlaces = peer[i].pc == frames[i].pc;
        if (!samePlaces)
            continue; // it moved between the two looks
        ++compared;
        for (int i = 0; i < peer.size(); ++i) {
            // A function may be one of its symbol's aliases, or its own name without class and
            // parameters.
            const QString a = Plain(frames[i].function), b = Plain(peer[i].name);
            if (a != b && (a.isEmpty() || b.isEmpty() || !(a.contains(b) || b.contains(a))) &&
                !judge(thread.tid, frames[i].pc, frames[i].function))
                *differences << QStringLiteral("thread %1 #%2 0x%3: ours \"%4\", eu-stack \"%5\"")
                                    .arg(thread.tid)
                                    .arg(i)
                                    .arg(frames[i].pc, 0, 16)
                                    .arg(frames[i].function, peer[i].name);
        }
    }
    return compared;
}

// One frame as a tool shows it, in the form of norva-capture-cli --frames and gdb_frames.py.
struct ShownFrame {
    bool inlined = false;
    uint64_t pc = 0;
    QString function, file;
    int line = 0;
    QString text; // the line it came from
};
using ShownStacks = QMap<long long, QVector<ShownFrame>>;

// gdb's tail-call frames stand for callers that left no return address on the stack (gdb puts
// them together from call-site information): the capture shows the frames the stack holds.
ShownStacks ParseFrames(const QString &text)
{
    ShownStacks stacks;
    long long tid = 0;
    for (const QString &line : text.split('\n')) {
        const QStringList f = line.split('\t');
        if (line.startsWith(QLatin1String("THREAD ")))
            tid = line.mid(7).toLongLong();
        else if (f.size() == 5 && tid && f[0] != QLatin1String("tailcall"))
            stacks[tid].push_back({f[0] == QLatin1String("inline"), f[1].toULongLong(nullptr, 16),
                                   f[2], f[3], f[4].toInt(), line});
    }
    return stacks;
}

ShownStacks ShownOf(const StackCapture &capture)
{
    ShownStacks stacks;
    for (const ThreadStack &thread : capture.threads)
        for (const StackFrame &frame : thread.frames)
            stacks[thread.tid].push_back(
                {frame.inlined, frame.pc, frame.function, frame.file, frame.line,
                 QStringLiteral("%1 %2 at %3:%4")
                     .arg(frame.inlined ? "inline" : "normal", frame.function, frame.file)
                     .arg(frame.line)});
    return stacks;
}

QString GdbFrames(qint64 pid)
{
    QProcess gdb;
    gdb.start(QStringLiteral("gdb"),
              {"-batch", "-nx", "-iex", "set auto-load off", "-iex", "set debuginfod enabled off",
               "-ex", "set backtrace past-main on", "-ex", "set backtrace past-entry on", "-p",
               QString::number(pid), "-x", QStringLiteral(NORVA_TESTS_DIR "/gdb_frames.py")});
    gdb.waitForFinished(120000);
    return QString::fromUtf8(gdb.readAllStandardOutput());
}

// A name as both tools spell it: without the clone suffix, template arguments, parameter
// lists and the C library's alias spellings (one spells a lambda "{lambda()#1}", the other
// "<lambda()>"; one "std::string", the other its full type).
QString Comparable(QString name)
{
    name.remove(QRegularExpression(QStringLiteral(" \\[clone [^]]*\\]")));
    QString plain;
    int depth = 0;
    for (const QChar c : name) {
        depth += c == '<' || c == '(' || c == '{' ? 1 : 0;
        if (depth == 0)
            plain += c;
        depth -= (c == '>' || c == ')' || c == '}') && depth > 0 ? 1 : 0;
    }
    return Plain(plain);
}

bool SameFrame(const ShownFrame &a, const ShownFrame &b)
{
    const QString x = Comparable(a.function), y = Comparable(b.function);
    const bool sameName =
        x == y || (!x.isEmpty() && !y.isEmpty() && (x.contains(y) || y.contains(x)));
    const bool samePlace =
        a.line == b.line && (a.line == 0 || a.file.section('/', -1) == b.file.section('/', -1));
    return a.inlined == b.inlined && a.pc == b.pc && sameName && samePlace;
}

// The frames in which ours and gdb's differ, with both texts; threads whose real frames stand
// at other addresses in the two looks moved in between and are passed over when moving
// allows. *compared: the threads compared.
QStringList DifferencesWithGdb(const ShownStacks &ours, const ShownStacks &gdb, bool moving,
                               int *compared)
{
    const auto places = [](const QVector<ShownFrame> &frames) {
        QVector<uint64_t> pcs;
        for (const ShownFrame &frame : frames)
            if (!frame.inlined)
                pcs << frame.pc;
        return pcs;
    };
    QStringList differences;
    *compared = 0;
    for (auto it = ours.begin(); it != ours.end(); ++it) {
        const QVector<ShownFrame> theirs = gdb.value(it.key());
        if (moving && places(theirs) != places(it.value()))
            continue;
        ++*compared;
        for (int i = 0; i < std::max(theirs.size(), it.value().size()); ++i) {
            const ShownFrame a = it.value().value(i), b = theirs.value(i);
            if (i >= it.value().size() || i >= theirs.size() || !SameFrame(a, b))
                differences << QStringLiteral("thread %1 #%2: ours \"%3\", gdb \"%4\"")
                                   .arg(it.key())
                                   .arg(i)
                                   .arg(a.text, b.text);
        }
    }
    return differences;
}

// One small program built the ways software ships, each looked at by this library and by gdb
// in a mount namespace where its debug files lie under /usr/lib/debug: every frame, inlined
// calls included, agrees in name, file and line.
TEST(StackCapture, DebugFormsAgreeWithGdb)
{
    for (const char *tool : {"gdb", "g++", "dwz", "xz", "unshare", "objcopy"})
        if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
            GTEST_SKIP() << "needs " << tool;
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a mount namespace of its own";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(Tool(QStringLiteral(NORVA_TESTS_DIR "/debug_forms.sh"), {dir.path()}));
    for (const char *form :
         {"plain", "dwarf4", "dwarf5", "buildid", "dwz", "split", "lto", "minidebuginfo"}) {
        SCOPED_TRACE(form);
        QProcess run;
        run.start(QStringLiteral(NORVA_TESTS_DIR "/frames_in_debug_root.sh"),
                  {dir.filePath(QStringLiteral("root")), QStringLiteral(NORVA_CAPTURE_CLI),
                   QStringLiteral("--"), dir.filePath(QLatin1String(form))});
        ASSERT_TRUE(run.waitForFinished(120000));
        const QStringList looks =
            QString::fromUtf8(run.readAllStandardOutput()).split(QStringLiteral("----\n"));
        ASSERT_EQ(looks.size(), 2) << run.readAllStandardError().toStdString();
        int compared = 0;
        const QStringList differences =
            DifferencesWithGdb(ParseFrames(looks[0]), ParseFrames(looks[1]), false, &compared);
        EXPECT_EQ(compared, 2);
        EXPECT_TRUE(differences.isEmpty()) << differences.join('\n').toStdString();
    }
}

// Frames agree with gdb, the judge (every frame, inlined calls included: name, file and line),
// and the frames with a return address on the stack with eu-stack, a second opinion, on real
// programs: the helper, a Python program with threads (with or without its debug package), and
// a Qt program with its media threads.
TEST(StackCapture, FramesAgreeWithAPeerOnRealPrograms)
{
    if (QStandardPaths::findExecutable(QStringLiteral("eu-stack")).isEmpty())
        GTEST_SKIP() << "needs eu-stack (elfutils)";
    const QString python =
        QStringLiteral("import sys, threading\n"
                       "stop = threading.Event()\n"
                       "for i in range(3):\n"
                       "    threading.Thread(target=stop.wait, daemon=True).start()\n"
                       "print('ready', flush=True)\n"
                       "sys.stdin.readline()\n");
    const struct {
        const char *what;
        QStringList command, mode;
    } targets[] = {
        {"the helper", {NORVA_STACK_HELPER}, {"owner"}},
        {"Python", {"/usr/bin/python3", "-c", python}, {}},
    };
    const bool gdb = !QStandardPaths::findExecutable(QStringLiteral("gdb")).isEmpty();
    const auto compare = [gdb](qint64 pid) {
        ShownStacks judged;
        int withGdb = 0;
        if (gdb) {
            const StackCapture ours = CaptureStacks(static_cast<unsigned long>(pid));
            judged = ParseFrames(GdbFrames(pid));
            const QStringList differences =
                DifferencesWithGdb(ShownOf(ours), judged, true, &withGdb);
            EXPECT_GT(withGdb, 0);
            EXPECT_TRUE(differences.isEmpty()) << differences.join('\n').toStdString();
        }
        const auto gdbSaysSo = [&judged](long long tid, uint64_t pc, const QString &name) {
            for (const ShownFrame &frame : judged.value(tid))
                if (!frame.inlined && frame.pc == pc)
                    return Comparable(frame.function) == Comparable(name);
            return false;
        };
        QStringList differences;
        const int withPeer = CompareWithPeer(pid, &differences, gdbSaysSo);
        // Threads that eu-stack cannot follow as far as we do are gdb's to judge.
        EXPECT_TRUE(withPeer > 0 || withGdb > 0) << "no thread compared";
        EXPECT_TRUE(differences.isEmpty()) << differences.join('\n').toStdString();
    };
    for (const auto &target : targets) {
        SCOPED_TRACE(target.what);
        Helper helper(0, target.mode, target.command);
        compare(helper.pid());
    }
#if defined(NORVA_SCENE_BOARD)
    // Its media threads decode as it plays: those that moved between the looks are passed over.
    QProcess scene;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    scene.setProcessEnvironment(env);
    scene.start(QStringLiteral(NORVA_SCENE_BOARD), QStringList());
    ASSERT_TRUE(scene.waitForStarted(5000));
    QThread::msleep(1500);
    compare(scene.processId());
    scene.kill();
    scene.waitForFinished(5000);
#endif
}

// A frame in a binary without symbols shows its module and the offset in it, which the
// unstripped binary names.
TEST(StackCapture, FramesWithoutNamesCanBeNamedLater)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString stripped = dir.filePath(QStringLiteral("stripped-helper"));
    ASSERT_TRUE(Tool("objcopy", {"--strip-all", NORVA_STACK_HELPER, stripped}));
    const QString shown = CaptureText(Helper(1, {}, {stripped}));
    QStringList named;
    const QRegularExpression frame(QStringLiteral(" stripped-helper\\+(0x[0-9a-f]+)\n"));
    for (auto it = frame.globalMatch(shown); it.hasNext();) {
        QProcess addr2line;
        addr2line.start(QStringLiteral("addr2line"),
                        {QStringLiteral("-f"), QStringLiteral("-i"), QStringLiteral("-C"),
                         QStringLiteral("-e"), QStringLiteral(NORVA_STACK_HELPER),
                         it.next().captured(1)});
        ASSERT_TRUE(addr2line.waitForFinished(10000));
        // Function and place, for each function inlined there and the one it is inlined into.
        const QStringList lines = QString::fromUtf8(addr2line.readAllStandardOutput()).split('\n');
        for (int i = 0; i < lines.size(); i += 2)
            named << lines[i];
    }
    EXPECT_TRUE(named.contains(QStringLiteral("(anonymous namespace)::norva_wait_here()")) &&
                named.contains(QStringLiteral("h")))
        << named.join(' ').toStdString() << shown.toStdString();
}

} // namespace
