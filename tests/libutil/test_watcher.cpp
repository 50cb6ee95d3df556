#include <QDir>
#include <QElapsedTimer>
#include <QSet>
#include <QTemporaryDir>
#include <QUuid>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

#include "LogCapture.h"
#include "ProcessHelpers.h"
#include "ProcessMutex.h"

namespace {

#if !defined(_WIN32)
QSet<QString> OwnThreads()
{
    const QStringList tasks =
        QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    return QSet<QString>(tasks.begin(), tasks.end());
}
#endif

// Constructs a watcher and waits until its loop blocks in a pause, which happens only after
// the pass it is in (its one-second sleep included).
template <typename Make> auto PausedWatcher(Make make)
{
#if !defined(_WIN32)
    // A sanitizer starts a thread of its own with the first thread made: before the count.
    std::thread([] {}).join();
    const QSet<QString> before = OwnThreads();
    auto watcher = make();
    const QSet<QString> loop = OwnThreads() - before;
    watcher->Pause();
    EXPECT_EQ(loop.size(), 1);
    const QString wchan = QStringLiteral("/proc/self/task/%1/wchan").arg(loop.values().value(0));
    EXPECT_TRUE(WaitFor(
        [&] {
            QFile file(wchan);
            return file.open(QIODevice::ReadOnly) && file.readAll().contains("futex");
        },
        kStartMs));
#else
    // No wait state of a thread to read under Wine: a pass and a half of the loop.
    auto watcher = make();
    QThread::msleep(300);
    watcher->Pause();
    QThread::msleep(1300);
#endif
    return watcher;
}

// The watched program is the stand-in launcher; it logs every start and holds a mutex of a
// name unique to the test.
class WatcherTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        qputenv("XDG_RUNTIME_DIR", dir_.path().toLocal8Bit());
        mutex_ = "watched-" + QUuid::createUuid().toString(QUuid::Id128).left(12).toStdString();
        logPath_ = dir_.filePath("starts.log");
        qputenv("NORVA_FAKE_MUTEX", QByteArray::fromStdString(mutex_));
        qputenv("NORVA_FAKE_LOG", logPath_.toLocal8Bit());
    }
    void TearDown() override
    {
        CloseMutex();
        for (qint64 pid : LoggedPids(logPath_))
            KillProcess(pid);
        qunsetenv("NORVA_FAKE_MUTEX");
        qunsetenv("NORVA_FAKE_LOG");
        qunsetenv("NORVA_FAKE_DELAY_MS");
    }
    int Starts() const { return LoggedPids(logPath_).size(); }

    QTemporaryDir dir_;
    std::string mutex_;
    QString logPath_;
};

TEST_F(WatcherTest, StartsAtOnceRestartsWithinASecondAndStops)
{
    LogCapture log;
    QElapsedTimer timer;
    timer.start();
    auto watcher = std::make_unique<WatchClassByMutex>(NORVA_FAKE_LAUNCHER, mutex_.c_str());
    // The first test, and its start, come at once, not after the loop's one-second sleep.
    ASSERT_TRUE(WaitFor([&] { return log.count("-<CheckMutex>: GetLastError = 2") == 1; }, 900))
        << "first test without delay";
    ASSERT_TRUE(WaitFor([&] { return Starts() == 1; }, kStartMs));
    ASSERT_TRUE(WaitFor([&] { return CheckMutex(mutex_.c_str()); }, kStartMs));

    // Running program: nothing more happens.
    QThread::msleep(2200);
    EXPECT_EQ(Starts(), 1);

    const qint64 first = LoggedPids(logPath_).value(0);
    KillProcess(first);
    EXPECT_TRUE(WaitFor([&] { return Starts() == 2; }, kRestartMs));
    ASSERT_TRUE(WaitFor([&] { return Starts() == 2; }, kStartMs));
#if !defined(_WIN32)
    // The killed copy has been reaped, not left as a zombie.
    EXPECT_TRUE(WaitFor([&] { return ProcessState(first) == 0; }, kStartMs));
#endif

    watcher->Stop();
    timer.restart();
    watcher.reset();
    EXPECT_LE(timer.elapsed(), kRestartMs) << "Stop ends the loop after the current sleep";
}

TEST_F(WatcherTest, PauseBlocksAfterTheCurrentPassAndResumeTestsAtOnce)
{
    ASSERT_TRUE(CreateAndCheckMutexOnly(mutex_.c_str())); // we play the running program
    auto watcher = PausedWatcher(
        [&] { return std::make_unique<WatchClassByMutex>(NORVA_FAKE_LAUNCHER, mutex_.c_str()); });
    CloseMutex(); // the program "ends" while the watcher is paused
    QThread::msleep(1500);
    EXPECT_EQ(Starts(), 0) << "a paused watcher starts nothing";

    watcher->Resume();
    EXPECT_TRUE(WaitFor([&] { return Starts() == 1; }, kStartMs)) << "resume tests again";
    watcher->Stop();
}

TEST_F(WatcherTest, StopWhilePausedWaitsForResume)
{
    ASSERT_TRUE(CreateAndCheckMutexOnly(mutex_.c_str()));
    WatchClassByMutex *watcher =
        PausedWatcher([&] { return new WatchClassByMutex(NORVA_FAKE_LAUNCHER, mutex_.c_str()); });
    watcher->Stop();
    CloseMutex();
    auto destroyed = std::async(std::launch::async, [watcher] { delete watcher; });
    EXPECT_EQ(destroyed.wait_for(std::chrono::milliseconds(1500)), std::future_status::timeout)
        << "a paused loop does not see Stop";

    watcher->Resume();
    EXPECT_EQ(destroyed.wait_for(std::chrono::milliseconds(kStartMs)), std::future_status::ready);
    EXPECT_TRUE(WaitFor([&] { return Starts() == 1; }, kStartMs))
        << "one more test, and a start, before the loop ends";
}

TEST_F(WatcherTest, EmptyPathKeepsTestingAndStartsNothing)
{
    LogCapture log;
    {
        WatchClassByMutex watcher("", mutex_.c_str());
        EXPECT_TRUE(
            WaitFor([&] { return log.count("-<CheckMutex>: GetLastError = 2") >= 3; }, kStartMs));
        watcher.Stop();
    }
    EXPECT_EQ(Starts(), 0);
    EXPECT_EQ(log.count("Failed"), 0);
}

TEST_F(WatcherTest, SlowProgramIsStartedAgainUntilItsMutexExists)
{
    qputenv("NORVA_FAKE_DELAY_MS", "2500");
    {
        WatchClassByMutex watcher(NORVA_FAKE_LAUNCHER, mutex_.c_str());
        ASSERT_TRUE(WaitFor([&] { return CheckMutex(mutex_.c_str()); }, kStartMs));
        watcher.Stop();
    }
    // Started again every pass until the first copy, 2.5 s on, holds the mutex (a loaded
    // machine stretches the passes, so at least once again).
    EXPECT_TRUE(WaitFor([&] { return Starts() >= 2; }, kStartMs));
}

} // namespace
