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
    }
    void TearDown() override
    {
        for (auto &daemon : daemons_) {
            daemon->kill();
            daemon->waitForFinished(3000);
        }
        for (qint64 pid : LoggedPids(LogPath()))
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

    QTemporaryDir home_;
    std::vector<std::unique_ptr<QProcess>> daemons_;
};

TEST_F(DaemonTest, KeepsTheLauncherRunningAndRefusesASecondCopy)
{
    WriteLaunch("Launch=" NORVA_FAKE_LAUNCHER);
    QProcess *daemon = StartDaemon();
    ASSERT_TRUE(WaitFor([&] { return Starts() == 1; }, 1500)) << "launcher started at once";

    QProcess *second = StartDaemon();
    ASSERT_TRUE(second->waitForFinished(5000));
    EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second->exitCode(), 0);
    EXPECT_TRUE(Out(1, "err").contains("error: norva-deamon is running"));
    EXPECT_EQ(daemon->state(), QProcess::Running);

    // Kill the launcher a few times; each time it is back within about a second.
    std::vector<qint64> delays;
    for (int kill = 0; kill < 3; ++kill) {
        QThread::msleep(150 + 250 * kill); // land at different points of the poll
        const qint64 pid = LoggedPids(LogPath()).last();
        const int before = Starts();
        KillProcess(pid);
        QElapsedTimer timer;
        timer.start();
        ASSERT_TRUE(WaitFor([&] { return Starts() == before + 1; }, 2000));
        delays.push_back(timer.elapsed());
#if !defined(_WIN32)
        EXPECT_TRUE(WaitFor([&] { return ProcessState(pid) == 0; }, 1000)) << "reaped";
#endif
    }
#if defined(_WIN32)
    const qint64 slowest = 1800; // Wine starts a process in up to half a second on a busy machine
#else
    const qint64 slowest = 1300;
#endif
    EXPECT_LE(*std::max_element(delays.begin(), delays.end()), slowest);

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
    ASSERT_TRUE(WaitFor([&] { return Starts() == 1; }, 1500));
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
        QThread::msleep(2300);
        EXPECT_EQ(daemon->state(), QProcess::Running) << ini.constData();
        const QByteArray out = Out(daemons_.size() - 1);
        EXPECT_GE(out.count("GetLastError = 2"), 2) << out.constData();
        daemon->kill();
        daemon->waitForFinished(3000);
    }
    EXPECT_EQ(Starts(), 0);
}

TEST_F(DaemonTest, KilledDaemonCanStartAgainAtOnce)
{
    WriteLaunch("Launch=" NORVA_FAKE_LAUNCHER);
    QProcess *first = StartDaemon();
    ASSERT_TRUE(WaitFor([&] { return Starts() == 1; }, 1500));
    first->kill(); // SIGKILL: no chance to clean up
    ASSERT_TRUE(first->waitForFinished(3000));

    QProcess *next = StartDaemon();
    EXPECT_FALSE(next->waitForFinished(1500)) << "the new copy runs";
    EXPECT_TRUE(Out(1).contains("Create mutex"));
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
    EXPECT_TRUE(WaitFor([&] { return Starts() >= 3; }, 4000)) << "restarts go on";
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
        3000))
        << flowing.constData();
    daemon->kill();
    daemon->waitForFinished(3000);
    close(stalled[0]);
    close(stalled[1]);
    QThread::msleep(200); // a launcher started just now logs its start
    QFile::remove(LogPath());

    // A reader that has gone, and a descriptor the daemon inherited: the launcher keeps neither,
    // nor the daemon's ignored SIGPIPE.
    int gone[2];
    ASSERT_EQ(pipe2(gone, O_CLOEXEC), 0);
    QFile inherited(home_.filePath("inherited"));
    ASSERT_TRUE(inherited.open(QIODevice::WriteOnly));
    const int inheritedFd = inherited.handle();
    daemon = StartDaemon({}, [&] {
        toPipe(gone[1])();
        fcntl(inheritedFd, F_SETFD, 0);
        signal(SIGPIPE, SIG_DFL); // as from a shell; our QProcess parent ignores it
    });
    close(gone[0]);
    close(gone[1]);
    ASSERT_TRUE(WaitFor([&] { return Starts() == 1; }, 2000));
    QThread::msleep(1200);
    EXPECT_TRUE(ProcessAlive(daemon->processId()) && ProcessState(daemon->processId()) != 'Z');
    const qint64 launcher = LoggedPids(LogPath()).value(0);
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
    // Lines are being lost once the output stops growing, as the daemon logs every second.
    int last = -1;
    QElapsedTimer still;
    still.start();
    EXPECT_TRUE(WaitFor(
        [&] {
            const int size = Out(0).size();
            if (size != last) {
                last = size;
                still.restart();
            }
            return size > 0 && still.elapsed() > 1500;
        },
        10000));
    const struct rlimit roomy = {RLIM_INFINITY, RLIM_INFINITY};
    ASSERT_EQ(prlimit(static_cast<pid_t>(daemon->processId()), RLIMIT_FSIZE, &roomy, nullptr), 0);
    EXPECT_TRUE(WaitFor([&] { return Out(0).contains("log lines were dropped"); }, 3000));
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
    ASSERT_TRUE(WaitFor([&] { return Starts() >= 4; }, 5000));
    QThread::msleep(200);
    const qint64 daemonPid = daemon->processId();
    int zombies = 0;
    for (const QString &entry : QDir("/proc").entryList(QDir::Dirs)) {
        const qint64 pid = entry.toLongLong();
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (pid <= 0 || !stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        const QList<QByteArray> rest = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (rest.value(1).toLongLong() == daemonPid && rest.value(0) == "Z")
            ++zombies;
    }
    EXPECT_EQ(zombies, 0);
}

#endif

} // namespace
