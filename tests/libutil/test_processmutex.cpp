#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QUuid>
#include <cstdlib>
#include <gtest/gtest.h>
#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "LogCapture.h"
#include "ProcessHelpers.h"
#include "ProcessMutex.h"

namespace {

std::string UniqueName(const char *stem)
{
    return std::string(stem) + "-" +
           QUuid::createUuid().toString(QUuid::Id128).left(12).toStdString();
}

class ProcessMutexTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(runtime_.isValid());
        qputenv("XDG_RUNTIME_DIR", runtime_.path().toLocal8Bit());
    }
    void TearDown() override
    {
        CloseMutex();
        for (QProcess *holder : holders_) {
            holder->kill();
            holder->waitForFinished(3000);
            delete holder;
        }
    }

    // A real second process that creates and holds the mutex.
    QProcess *StartHolder(const std::string &name)
    {
        auto *holder = new QProcess;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("NORVA_FAKE_MUTEX", QString::fromStdString(name));
        holder->setProcessEnvironment(env);
        holder->start(QStringLiteral(NORVA_FAKE_LAUNCHER), QStringList());
        EXPECT_TRUE(holder->waitForStarted(5000));
        holders_ << holder;
        return holder;
    }

    QTemporaryDir runtime_;
    QList<QProcess *> holders_;
};

TEST_F(ProcessMutexTest, OnlyTheFirstProcessGetsTheMutexUntilItEnds)
{
    const std::string name = UniqueName("guard");
    QProcess *holder = StartHolder(name);
    ASSERT_TRUE(WaitFor([&] { return CheckMutex(name.c_str()); }, 5000));

    LogCapture log;
    EXPECT_FALSE(CreateAndCheckMutexOnly(name.c_str()));
    EXPECT_TRUE(log.lines().empty()) << "an existing mutex is refused silently";
    EXPECT_TRUE(CheckMutex(name.c_str())) << "testing must not disturb the holder";

    // A second holder process is refused as well and ends.
    QProcess *second = StartHolder(name);
    ASSERT_TRUE(second->waitForFinished(5000));
    EXPECT_EQ(second->exitCode(), 3);
    EXPECT_EQ(holder->state(), QProcess::Running);

    holder->kill();
    ASSERT_TRUE(holder->waitForFinished(5000));
    EXPECT_FALSE(CheckMutex(name.c_str())) << "a killed holder leaves no mutex behind";
    log.clear();
    EXPECT_TRUE(CreateAndCheckMutexOnly(name.c_str()));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].level, LOG_INFO);
    EXPECT_NE(log.lines()[0].text.find("ProcessMutex.cpp(85)-<CreateAndCheckMutexOnly>: "
                                       "Create mutex "),
              std::string::npos)
        << log.lines()[0].text;
    EXPECT_TRUE(CheckMutex(name.c_str())) << "our own mutex exists for us too";
}

TEST_F(ProcessMutexTest, CheckMutexReportsMissingNames)
{
    LogCapture log;
    EXPECT_FALSE(CheckMutex(UniqueName("absent").c_str()));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].level, LOG_INFO);
    // The source path comes first, relative to the source tree (never the folder a package was
    // built in), then the fixed line number, the function and the message.
    EXPECT_EQ(log.lines()[0].text, "libutil/ProcessMutex.cpp(97)-<CheckMutex>: GetLastError = 2");
}

TEST_F(ProcessMutexTest, CloseMutexClosesOnlyTheLatestAndOnlyOnce)
{
    const std::string first = UniqueName("first");
    const std::string second = UniqueName("second");
    ASSERT_TRUE(CreateAndCheckMutexOnly(first.c_str()));
    ASSERT_TRUE(CreateAndCheckMutexOnly(second.c_str()));

    LogCapture log;
    CloseMutex();
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_NE(log.lines()[0].text.find("ProcessMutex.cpp(61)-<CloseMutex>: Close mutex "),
              std::string::npos);
    EXPECT_FALSE(CheckMutex(second.c_str()));
    EXPECT_TRUE(CheckMutex(first.c_str())) << "the replaced handle stays open";

    log.clear();
    CloseMutex();
    CloseMutex();
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(ProcessMutexTest, NamesWithAnyCharactersWork)
{
    const std::string name = UniqueName("Local\\a/b \xE8\xAE\xB2..");
    QProcess *holder = StartHolder(name);
    ASSERT_TRUE(WaitFor([&] { return CheckMutex(name.c_str()); }, 5000));
    EXPECT_FALSE(CreateAndCheckMutexOnly(name.c_str()));
    EXPECT_FALSE(CheckMutex((name + "x").c_str()));
    EXPECT_TRUE(CheckMutex(name.substr(6).c_str())) << "Local\\ names the session's namespace";
    holder->kill();
    holder->waitForFinished(5000);
}

#if defined(_WIN32)
TEST_F(ProcessMutexTest, NameOfAnotherKindOfObjectIsNeitherCreatedNorFound)
{
    const std::string name = UniqueName("event");
    HANDLE event =
        CreateEventW(nullptr, TRUE, FALSE, QString::fromStdString(name).toStdWString().c_str());
    ASSERT_NE(event, nullptr);
    LogCapture log;
    EXPECT_FALSE(CreateAndCheckMutexOnly(name.c_str()));
    EXPECT_FALSE(CheckMutex(name.c_str()));
    CloseHandle(event);
    ASSERT_EQ(log.lines().size(), 2u);
    EXPECT_NE(log.lines()[0].text.find("(73)-<CreateAndCheckMutexOnly>: Create mutext Failed"),
              std::string::npos);
    EXPECT_NE(log.lines()[1].text.find("-<CheckMutex>: GetLastError = 6"), std::string::npos)
        << log.lines()[1].text;
}
#else
TEST_F(ProcessMutexTest, UnsafeRuntimeFolderIsRefused)
{
    // Without XDG_RUNTIME_DIR the folder is /tmp/norva-<uid>, which must be ours and private.
    unsetenv("XDG_RUNTIME_DIR");
    const QByteArray dir = QByteArray("/tmp/norva-") + QByteArray::number(getuid());
    const std::string name = UniqueName("fallback");
    ASSERT_TRUE(CreateAndCheckMutexOnly(name.c_str()));
    CloseMutex();

    ASSERT_EQ(chmod(dir.constData(), 0777), 0);
    LogCapture log;
    EXPECT_FALSE(CreateAndCheckMutexOnly(name.c_str()));
    EXPECT_FALSE(CheckMutex(name.c_str()));
    chmod(dir.constData(), 0700);
    // One warning that says which folder and why, then the usual lines.
    ASSERT_EQ(log.lines().size(), 3u);
    EXPECT_EQ(log.lines()[0].text, "Runtime folder " + dir.toStdString() +
                                       " is refused: others may enter it (mode 0777, 0700 is "
                                       "needed)");
    EXPECT_NE(log.lines()[1].text.find("(73)-<CreateAndCheckMutexOnly>: Create mutext Failed"),
              std::string::npos);
    EXPECT_NE(log.lines()[2].text.find("GetLastError = 5"), std::string::npos);

    // XDG_RUNTIME_DIR must be just as private: another user's lock file there decides nothing.
    // A symbolic link to a private folder of ours is that folder.
    const QByteArray runtime = runtime_.path().toLocal8Bit();
    const QByteArray link = runtime + "-link";
    ASSERT_EQ(symlink(runtime.constData(), link.constData()), 0);
    qputenv("XDG_RUNTIME_DIR", link);
    EXPECT_TRUE(CreateAndCheckMutexOnly(name.c_str()));
    CloseMutex();
    ASSERT_EQ(chmod(runtime.constData(), 01777), 0);
    EXPECT_FALSE(CreateAndCheckMutexOnly(name.c_str()));
    unlink(link.constData());
}
#endif

} // namespace
