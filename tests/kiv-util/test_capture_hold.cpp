// The hold: every thread stopped together, copied and let go, within its deadline, whatever the
// target or other tracers do; stacks as they were during the hold.

#include "CaptureHelpers.h"
#include "DebugFiles.h"

namespace {

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

} // namespace
