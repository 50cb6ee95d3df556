// End-to-end tests of norva-deamon: real daemon processes, the real stand-in launcher, and a
// throw-away home, configuration and runtime folder per test.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <algorithm>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#if !defined(_WIN32)
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "ProcessHelpers.h"
#include "ProcessMutex.h"

namespace {

// A daemon whose child side may rearrange its descriptors before it starts.
class DaemonProcess : public QProcess {
public:
    std::function<void()> inChild;

protected:
    void setupChildProcess() override
    {
        if (inChild)
            inChild();
    }
};

class DaemonTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(home_.isValid());
        QDir(home_.path()).mkpath("config/NORVA");
        QDir(home_.path()).mkpath("run");
        QFile::setPermissions(home_.filePath("run"), QFileDevice::ReadOwner |
                                                         QFileDevice::WriteOwner |
                                                         QFileDevice::ExeOwner);
        QFile::remove(LogPath());
        // For CheckMutex in the test itself: the daemons' runtime folder.
        qputenv("XDG_RUNTIME_DIR", home_.filePath("run").toLocal8Bit());
    }
    void TearDown() override
    {
        for (auto &daemon : daemons_) {
            daemon->kill();
            daemon->waitForFinished(3000);
        }
        for (const QString &log : QDir(home_.path()).entryList({QStringLiteral("starts*.log")}))
            for (qint64 pid : LoggedPids(home_.filePath(log)))
                KillProcess(pid);
#if defined(_WIN32)
        QSettings(kUninstallKey, QSettings::NativeFormat).remove(QString());
#endif
    }

    QString LogPath() const
    {
        return home_.filePath("starts.log");
    }

#if defined(_WIN32)
    static constexpr const char *kUninstallKey =
        "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\NORVA";
    // Windows: the registry value itself. key=value, or no '=' for a key without the value.
    void WriteLaunch(const QByteArray &line)
    {
        QSettings key(kUninstallKey, QSettings::NativeFormat);
        key.remove(QString());
        const int eq = line.indexOf('=');
        if (eq > 0)
            key.setValue(QString::fromUtf8(line.left(eq)),
                         QString::fromUtf8(line.mid(eq + 1)).remove(QLatin1Char('"')));
        key.sync();
    }
#else
    void WriteLaunch(const QByteArray &line)
    {
        QFile ini(home_.filePath("config/NORVA/uninstall.ini"));
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ini.write("[General]\n" + line + "\n");
    }
#endif

    QProcess *StartDaemon(const QByteArray &extraEnv = {},
                          const std::function<void()> &inChild = {})
    {
        auto daemon = std::make_unique<DaemonProcess>();
        daemon->inChild = inChild;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home_.path());
        env.insert("XDG_CONFIG_HOME", home_.filePath("config"));
        env.insert("XDG_RUNTIME_DIR", home_.filePath("run"));
        env.insert("NORVA_FAKE_LOG", LogPath());
        if (!extraEnv.isEmpty())
            env.insert(QString::fromLatin1(extraEnv.split('=').value(0)),
                       QString::fromLatin1(extraEnv.split('=').value(1)));
        daemon->setProcessEnvironment(env);
        // Files rather than pipes: nothing here runs an event loop to drain a pipe.
        const QString stem = home_.filePath(QStringLiteral("daemon-%1").arg(daemons_.size()));
        daemon->setStandardOutputFile(stem + ".out");
        daemon->setStandardErrorFile(stem + ".err");
        daemon->start(QStringLiteral(NORVA_DEAMON), QStringList());
        EXPECT_TRUE(daemon->waitForStarted(5000));
        daemons_.push_back(std::move(daemon));
        return daemons_.back().get();
    }

    // What daemon number n has written so far to its standard output or error.
    QByteArray Out(size_t n, const char *stream = "out") const
    {
        QFile file(home_.filePath(QStringLiteral("daemon-%1.%2").arg(n).arg(stream)));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    int Starts() const
    {
        return LoggedPids(LogPath()).size();
    }

    static bool LauncherHoldsItsMutex()
    {
        return CheckMutex("norva-lauch");
    }

    QTemporaryDir home_;
    std::vector<std::unique_ptr<QProcess>> daemons_;
};

TEST_F(DaemonTest, KeepsTheLauncherRunningAndRefusesASecondCopy)
{
    WriteLaunch("Launch=" NORVA_FAKE_LAUNCHER);
    QProcess *daemon = StartDaemon();
    ASSERT_TRUE(WaitFor([&] { return Starts() == 1; }, kStartMs)) << "launcher started";

    QProcess *second = StartDaemon();
    ASSERT_TRUE(second->waitForFinished(kStartMs));
    EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second->exitCode(), 0);
    EXPECT_TRUE(Out(1, "err").contains("error: norva-deamon is running"));
    EXPECT_EQ(daemon->state(), QProcess::Running);

    // Kill the launcher a few times; each time it is back within about a second, which on a
    // loaded machine means a restart by 3 s (bench/ reports the delays).
    for (int kill = 0; kill < 3; ++kill) {
        QThread::msleep(150 + 250 * kill); // land at different points of the poll
        const qint64 pid = LoggedPids(LogPath()).last();
        const int before = Starts();
        KillProcess(pid);
        EXPECT_TRUE(WaitFor([&] { return Starts() == before + 1; }, kRestartMs))
            << "restart " << kill;
        ASSERT_TRUE(WaitFor([&] { return Starts() == before + 1; }, kStartMs));
#if !defined(_WIN32)
        EXPECT_TRUE(WaitFor([&] { return ProcessState(pid) == 0; }, kStartMs)) << "reaped";
#endif
        // The next kill must meet a launcher that holds its mutex.
        ASSERT_TRUE(WaitFor([&] { return LauncherHoldsItsMutex(); }, kStartMs));
    }

    QThread::msleep(1500);
    EXPECT_EQ(Starts(), 4) << "a running launcher is left alone";
    const QByteArray out = Out(0);
    EXPECT_TRUE(out.contains("-<CreateAndCheckMutexOnly>: Create mutex ")) << out.constData();
    EXPECT_TRUE(out.contains("-<CheckMutex>: GetLastError = 2")) << out.constData();
}

TEST_F(DaemonTest, NonAsciiLaunchPathReachesTheProgramUnchanged)
{
    const QString folder =
        home_.filePath(QString::fromUtf8("\xE8\xAE\xB2\xE5\xBA\xA7 \xE7\xA8\x8B\xE5\xBA\x8F"));
    ASSERT_TRUE(QDir().mkpath(folder));
#if defined(_WIN32)
    const QString launcher = folder + QString::fromUtf8("/\xE5\x90\xAF\xE5\x8A\xA8.exe");
#else
    const QString launcher = folder + QString::fromUtf8("/\xE5\x90\xAF\xE5\x8A\xA8.bin");
#endif
    ASSERT_TRUE(QFile::copy(QStringLiteral(NORVA_FAKE_LAUNCHER), launcher));
#if defined(_WIN32)
    // A program finds its DLLs beside it, as in an installation.
    const QDir from = QFileInfo(QStringLiteral(NORVA_FAKE_LAUNCHER)).dir();
    for (const QString &dll : from.entryList({QStringLiteral("*.dll")}, QDir::Files))
        ASSERT_TRUE(QFile::copy(from.filePath(dll), folder + QLatin1Char('/') + dll));
#endif
    WriteLaunch("Launch=\"" + launcher.toUtf8() + "\"");

    StartDaemon();
    ASSERT_TRUE(WaitFor([&] { return Starts() == 1; }, kStartMs));
    const QList<QByteArray> fields = LoggedLines(LogPath()).value(0).split(' ');
    EXPECT_EQ(fields.value(1), "1") << "started with no parameters";
    const QString started =
        QString::fromUtf8(LoggedLines(LogPath()).value(0).mid(fields[0].size() + 3));
    // Compare from the non-ASCII folder on: Windows may name the drive differently.
    const QString tail = launcher.mid(
        launcher.lastIndexOf(QLatin1Char('/'), launcher.lastIndexOf(QLatin1Char('/')) - 1));
    EXPECT_TRUE(started.endsWith(tail)) << started.toStdString() << " vs " << tail.toStdString();
}

TEST_F(DaemonTest, MissingOrEmptyLaunchKeepsTheDaemonAlive)
{
    // The last one is a typed value that asks the settings reader for an enormous list.
    for (const QByteArray &ini :
         {QByteArray("Other=1"), QByteArray("Launch="),
          QByteArray("Launch=@Variant(\\0\\0\\0\\v\\x7f\\xff\\xff\\xff)")}) {
        WriteLaunch(ini);
        QProcess *daemon = StartDaemon();
        const size_t n = daemons_.size() - 1;
        // Two failed tests: the daemon went on to its second pass.
        EXPECT_TRUE(WaitFor([&] { return Out(n).count("GetLastError = 2") >= 2; }, kStartMs))
            << ini.constData() << Out(n).constData();
        EXPECT_EQ(daemon->state(), QProcess::Running) << ini.constData();
        daemon->kill();
        daemon->waitForFinished(3000);
    }
    EXPECT_EQ(Starts(), 0);
}

TEST_F(DaemonTest, KilledDaemonCanStartAgainAtOnce)
{
    WriteLaunch("Launch=" NORVA_FAKE_LAUNCHER);
    QProcess *first = StartDaemon();
    ASSERT_TRUE(WaitFor([&] { return Starts() == 1; }, kStartMs));
    ASSERT_TRUE(WaitFor([&] { return LauncherHoldsItsMutex(); }, kStartMs));
    first->kill(); // SIGKILL: no chance to clean up
    // Gone and collected, as a service manager sees it before it starts the next copy.
    ASSERT_TRUE(first->waitForFinished(kStartMs));

    QProcess *next = StartDaemon();
    EXPECT_TRUE(WaitFor([&] { return Out(1).contains("Create mutex"); }, kStartMs))
        << "the new copy takes its mutex: " << Out(1, "err").constData();
    EXPECT_EQ(next->state(), QProcess::Running);
    EXPECT_EQ(Starts(), 1) << "the launcher kept running throughout";
}

#if !defined(_WIN32)
TEST_F(DaemonTest, OutputThatNobodyReadsNeverStopsTheWatch)
{
    WriteLaunch("Launch=" NORVA_FAKE_LAUNCHER);
    // A stalled reader: the pipe is full before the daemon writes its first line.
    int stalled[2];
    ASSERT_EQ(pipe2(stalled, O_CLOEXEC), 0);
    fcntl(stalled[1], F_SETPIPE_SZ, 4096);
    fcntl(stalled[1], F_SETFL, O_NONBLOCK);
    const char filler[512] = {};
    while (write(stalled[1], filler, sizeof(filler)) > 0) {
    }
    const auto toPipe = [](int fd) {
        return [fd] {
            fcntl(fd, F_SETFL, 0);
            dup2(fd, 1);
            dup2(fd, 2);
        };
    };
    QProcess *daemon = StartDaemon("NORVA_FAKE_EXIT=1", toPipe(stalled[1]));
    EXPECT_TRUE(WaitFor([&] { return Starts() >= 3; }, kStartMs)) << "restarts go on";
    char buffer[65536];
    fcntl(stalled[0], F_SETFL, O_NONBLOCK);
    while (read(stalled[0], buffer, sizeof(buffer)) > 0) {
    }
    QByteArray flowing;
    EXPECT_TRUE(WaitFor(
        [&] {
            const ssize_t n = read(stalled[0], buffer, sizeof(buffer));
            flowing += QByteArray(buffer, n > 0 ? int(n) : 0);
            return flowing.contains("log lines were dropped");
        },
        kStartMs))
        << flowing.constData();
    daemon->kill();
    daemon->waitForFinished(3000);
    close(stalled[0]);
    close(stalled[1]);
    // Launchers the first daemon started may still log: the second one logs elsewhere.
    const QString log = home_.filePath("starts-2.log");

    // A reader that has gone, and a descriptor the daemon inherited: the launcher keeps neither,
    // nor the daemon's ignored SIGPIPE.
    int gone[2];
    ASSERT_EQ(pipe2(gone, O_CLOEXEC), 0);
    QFile inherited(home_.filePath("inherited"));
    ASSERT_TRUE(inherited.open(QIODevice::WriteOnly));
    const int inheritedFd = inherited.handle();
    daemon = StartDaemon("NORVA_FAKE_LOG=" + log.toLocal8Bit(), [&] {
        toPipe(gone[1])();
        fcntl(inheritedFd, F_SETFD, 0);
        signal(SIGPIPE, SIG_DFL); // as from a shell; our QProcess parent ignores it
    });
    close(gone[0]);
    close(gone[1]);
    ASSERT_TRUE(WaitFor([&] { return LoggedPids(log).size() == 1; }, kStartMs));
    QThread::msleep(1200);
    EXPECT_TRUE(ProcessAlive(daemon->processId()) && ProcessState(daemon->processId()) != 'Z');
    const qint64 launcher = LoggedPids(log).value(0);
    // Signals 32 and 33 belong to the C library, which keeps them ignored across a spawn.
    EXPECT_EQ(StatusField(launcher, "SigIgn:").toULongLong(nullptr, 16) & ~0x180000000ull, 0u);
    EXPECT_EQ(StatusField(launcher, "SigBlk:").toULongLong(nullptr, 16), 0u);
    for (const QFileInfo &fd : QDir(QStringLiteral("/proc/%1/fd").arg(launcher))
                                   .entryInfoList(QDir::System | QDir::Files))
        EXPECT_NE(fd.symLinkTarget().toStdString(), inherited.fileName().toStdString());
}

TEST_F(DaemonTest, FullDiskCostsWholeLinesOnly)
{
    WriteLaunch("Launch=" NORVA_FAKE_LAUNCHER);
    // A file-size limit stands in for a full disk: writes past it fail, the first one in part.
    QProcess *daemon = StartDaemon("NORVA_FAKE_EXIT=1", [] {
        signal(SIGXFSZ, SIG_IGN);
        const struct rlimit tight = {300, RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &tight);
    });
    // Lines are being lost once the daemon writes and its output does not grow: a write that
    // the limit refuses is a write all the same in its threads' counts (the process's own
    // count takes in the writes of the launchers it has collected too).
    const auto writes = [&] {
        const QString tasks = QStringLiteral("/proc/%1/task").arg(daemon->processId());
        qint64 n = 0;
        for (const QString &tid : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            n += StatusField(daemon->processId(),
                             "syscw:", ("task/" + tid + "/io").toLatin1().constData())
                     .toLongLong();
        return n;
    };
    qint64 size = -1, writesThen = 0;
    EXPECT_TRUE(WaitFor(
        [&] {
            const qint64 now = Out(0).size() + Out(0, "err").size();
            if (now != size) {
                size = now;
                writesThen = writes();
            }
            return size > 0 && writes() >= writesThen + 4;
        },
        kStartMs));
    const struct rlimit roomy = {RLIM_INFINITY, RLIM_INFINITY};
    ASSERT_EQ(prlimit(static_cast<pid_t>(daemon->processId()), RLIMIT_FSIZE, &roomy, nullptr), 0);
    EXPECT_TRUE(WaitFor([&] { return Out(0).contains("log lines were dropped"); }, kStartMs));
    daemon->kill();
    daemon->waitForFinished(3000);
    const QRegularExpression line(QStringLiteral("^(info|warning|error): [^\\n]*$"));
    const QRegularExpression gluedPrefix(QStringLiteral(".(info|warning|error): "));
    for (const QByteArray &text : Out(0).split('\n')) {
        if (text.isEmpty())
            continue;
        EXPECT_TRUE(line.match(QString::fromUtf8(text)).hasMatch()) << text.constData();
        EXPECT_FALSE(gluedPrefix.match(QString::fromUtf8(text)).hasMatch()) << text.constData();
    }
}

TEST_F(DaemonTest, CrashingLauncherLeavesNoZombies)
{
    WriteLaunch("Launch=" NORVA_FAKE_LAUNCHER);
    QProcess *daemon = StartDaemon("NORVA_FAKE_EXIT=1");
    ASSERT_TRUE(WaitFor([&] { return Starts() >= 4; }, kStartMs));
    const qint64 daemonPid = daemon->processId();
    const auto zombies = [daemonPid] {
        int n = 0;
        for (const QString &entry : QDir("/proc").entryList(QDir::Dirs)) {
            QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
            if (entry.toLongLong() <= 0 || !stat.open(QIODevice::ReadOnly))
                continue;
            const QByteArray text = stat.readAll();
            const QList<QByteArray> rest = text.mid(text.lastIndexOf(')') + 2).split(' ');
            n += rest.value(1).toLongLong() == daemonPid && rest.value(0) == "Z";
        }
        return n;
    };
    // A launcher that has just ended may be seen for a moment before it is collected; ended
    // ones that nobody collects stay.
    EXPECT_TRUE(WaitFor([&] { return zombies() == 0; }, kStartMs));
}

#endif

} // namespace
