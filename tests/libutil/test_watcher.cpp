#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QUuid>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <memory>

#include "LogCapture.h"
#include "ProcessHelpers.h"
#include "ProcessMutex.h"

namespace {

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
    QElapsedTimer timer;
    timer.start();
    auto watcher = std::make_unique<WatchClassByMutex>(NORVA_FAKE_LAUNCHER, mutex_.c_str());
    ASSERT_TRUE(WaitFor([&] { return Starts() == 1; }, 900)) << "first start without delay";
    ASSERT_TRUE(WaitFor([&] { return CheckMutex(mutex_.c_str()); }, 3000));

    // Running program: nothing more happens.
    QThread::msleep(2200);
    EXPECT_EQ(Starts(), 1);

    const qint64 first = LoggedPids(logPath_).value(0);
    KillProcess(first);
    timer.restart();
    ASSERT_TRUE(WaitFor([&] { return Starts() == 2; }, 1600));
    EXPECT_LE(timer.elapsed(), 1300);
#if !defined(_WIN32)
    // The killed copy has been reaped, not left as a zombie.
    EXPECT_TRUE(WaitFor([&] { return ProcessState(first) == 0; }, 1000));
#endif

    watcher->Stop();
    timer.restart();
    watcher.reset();
    EXPECT_LE(timer.elapsed(), 1300) << "Stop ends the loop after the current sleep";
}

TEST_F(WatcherTest, PauseBlocksAfterTheCurrentPassAndResumeTestsAtOnce)
{
    ASSERT_TRUE(CreateAndCheckMutexOnly(mutex_.c_str())); // we play the running program
    WatchClassByMutex watcher(NORVA_FAKE_LAUNCHER, mutex_.c_str());
    QThread::msleep(300);
    watcher.Pause();
    QThread::msleep(1300); // the loop has now blocked
    CloseMutex();          // the program "ends" while the watcher is paused
    QThread::msleep(1500);
    EXPECT_EQ(Starts(), 0) << "a paused watcher starts nothing";

    watcher.Resume();
    EXPECT_TRUE(WaitFor([&] { return Starts() == 1; }, 700)) << "resume tests at once";
    watcher.Stop();
}

TEST_F(WatcherTest, StopWhilePausedWaitsForResume)
{
    ASSERT_TRUE(CreateAndCheckMutexOnly(mutex_.c_str()));
    auto *watcher = new WatchClassByMutex(NORVA_FAKE_LAUNCHER, mutex_.c_str());
    QThread::msleep(200);
    watcher->Pause();
    QThread::msleep(1300);
    watcher->Stop();
    CloseMutex();
    auto destroyed = std::async(std::launch::async, [watcher] { delete watcher; });
    EXPECT_EQ(destroyed.wait_for(std::chrono::milliseconds(1500)), std::future_status::timeout)
        << "a paused loop does not see Stop";

    watcher->Resume();
    EXPECT_EQ(destroyed.wait_for(std::chrono::milliseconds(2000)), std::future_status::ready);
    EXPECT_EQ(Starts(), 1) << "one more test, and a start, before the loop ends";
}

TEST_F(WatcherTest, EmptyPathKeepsTestingAndStartsNothing)
{
    LogCapture log;
    {
        WatchClassByMutex watcher("", mutex_.c_str());
        QThread::msleep(2300);
        watcher.Stop();
    }
    EXPECT_EQ(Starts(), 0);
    EXPECT_GE(log.count("-<CheckMutex>: GetLastError = 2"), 3);
    EXPECT_EQ(log.count("Failed"), 0);
}

TEST_F(WatcherTest, SlowProgramIsStartedAgainUntilItsMutexExists)
{
    qputenv("NORVA_FAKE_DELAY_MS", "2500");
    {
        WatchClassByMutex watcher(NORVA_FAKE_LAUNCHER, mutex_.c_str());
        ASSERT_TRUE(WaitFor([&] { return CheckMutex(mutex_.c_str()); }, 6000));
        watcher.Stop();
    }
    EXPECT_GE(Starts(), 3);
    QThread::msleep(300);
    const int settled = Starts();
    QThread::msleep(1200);
    EXPECT_EQ(Starts(), settled) << "no more starts once the mutex exists";
}

} // namespace
