// What only Linux has: the debugger output on standard error, a write limit standing in for a
// full disk, and a real tracer that receives the break of an error line.
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <regex>
#include <set>
#include <sstream>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <QFileInfo>

#include "FileLogFixture.h"
#include "ProcessHelpers.h"

namespace {

// Runs f with standard error sent to a file and returns what was written there.
template <typename F> std::string CaptureStderr(F f)
{
    char path[] = "/tmp/filelog-stderr-XXXXXX";
    const int fd = mkstemp(path);
    const int saved = dup(2);
    dup2(fd, 2);
    f();
    dup2(saved, 2);
    close(saved);
    close(fd);
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    unlink(path);
    return text.str();
}

TEST_F(FileLogTest, EveryLevelGoesToTheDebuggerOutput)
{
    std::fstream log;
    InstallFileLog(log, "kiv-studio/logs/");
    ASSERT_TRUE(log.is_open());
    const std::string longText(6000, 'x');
    const std::string debugOutput = CaptureStderr([&] {
        blog(LOG_INFO, "%s", "");
        blog(LOG_WARNING, "a\r\nb");
        blog(LOG_DEBUG, "debug only");
        blog(LOG_ERROR, "bad %d", 42);
        blog(250, "odd level");
        blog(LOG_INFO, "%s", longText.c_str());
    });
    EXPECT_EQ(debugOutput,
              "\na\r\nb\ndebug only\nbad 42\nodd level\n" + std::string(5119, 'x') + "\n");
}

// An empty or relative XDG_CONFIG_HOME is ignored, as the XDG rule says (and as the daemon's
// settings do): the log goes under $HOME/.config, not under "/" or the working folder.
TEST_F(FileLogTest, ConfigFolderFollowsTheXdgRule)
{
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    const QByteArray savedHome = qgetenv("HOME");
    qputenv("HOME", home.path().toLocal8Bit());
    ASSERT_TRUE(QDir(home.path()).mkpath(QStringLiteral(".config/kiv-studio/logs")));
    for (const char *value : {"", "relative"}) {
        SCOPED_TRACE(value);
        qputenv("XDG_CONFIG_HOME", value);
        std::fstream log;
        InstallFileLog(log, "kiv-studio/logs/");
        EXPECT_TRUE(log.is_open());
        EXPECT_TRUE(QFile::exists(home.filePath(QStringLiteral(".config/kiv-studio/logs/")) +
                                  QString::fromStdString(CurrentLogFileName())));
    }
    qputenv("HOME", savedHome);
}

TEST_F(FileLogTest, FullDiskLosesLinesButTheHandlerGoesOn)
{
    std::fstream log;
    InstallFileLog(log, "kiv-studio/logs/");
    ASSERT_TRUE(log.is_open());
    blog(LOG_INFO, "before");

    // A file-size limit makes further writes fail, as a full disk would; the first one that
    // reaches it is written only in part.
    // The live log's name swapped for a link to a file of the user's first: the cut-back of a
    // line written in part acts on the log itself, never on whatever the name now leads to.
    const std::string moved = logs_ + "/moved.txt",
                      precious = config_.filePath("precious").toStdString();
    std::ofstream(precious) << std::string(5000, 'p');
    ASSERT_EQ(rename(CurrentPath().c_str(), moved.c_str()), 0);
    ASSERT_EQ(symlink(precious.c_str(), CurrentPath().c_str()), 0);
    const off_t used = static_cast<off_t>(log.tellp());
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(used + 1000);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
    CaptureStderr([] {
        std::vector<std::thread> writers;
        for (int t = 0; t < 4; ++t)
            writers.emplace_back([t] {
                for (int i = 0; i < 200; ++i)
                    blog(LOG_INFO, "lost %d-%d\nsecond line", t, i);
            });
        for (auto &writer : writers)
            writer.join();
    });
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    signal(SIGXFSZ, SIG_DFL);

    CaptureStderr([] { blog(LOG_INFO, "after"); });
    EXPECT_EQ(QFileInfo(QString::fromStdString(precious)).size(), 5000) << "the user's file";
    const std::vector<std::string> lines = ReadLines(moved);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(lines.front().find("before"), std::string::npos);
    EXPECT_NE(lines.back().find("after"), std::string::npos) << "the same stream writes again";
    // Lines were lost, but what reached the file is whole and there only once.
    const std::regex whole(
        R"((info: )?\d\d:\d\d:\d\d\.\d{3}: (before|after|lost \d-\d+|second line))");
    std::set<std::string> seen;
    for (const std::string &line : lines) {
        EXPECT_TRUE(std::regex_match(line, whole)) << line;
        if (line.find("lost") != std::string::npos) {
            EXPECT_TRUE(seen.insert(line.substr(line.find("lost"))).second) << line;
        }
    }
}

// Whatever stands under the name of the second a set-up runs in (a link to a file of the user's,
// another process's log of that second) is left as it is: the log takes the next free name.
TEST_F(FileLogTest, NamesTakenAlreadyAreNeverOpened)
{
    const std::string precious = config_.filePath("precious").toStdString();
    const struct {
        const char *what;
        bool link;
    } cases[] = {{"a link to a file of the user's", true}, {"another process's log", false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        QDir(QString::fromStdString(logs_)).removeRecursively();
        QDir().mkpath(QString::fromStdString(logs_));
        std::ofstream(precious) << "keep me";
        // The names of this second and the next few, as the set-up may run in any of them.
        for (int ahead = 0; ahead < 5; ++ahead) {
            const time_t then = time(nullptr) + ahead;
            char name[64];
            strftime(name, sizeof(name), "%Y-%m-%d %H-%M-%S.txt", localtime(&then));
            const std::string at = logs_ + "/" + name;
            if (c.link) {
                ASSERT_EQ(symlink(precious.c_str(), at.c_str()), 0);
            } else {
                std::ofstream(at) << "keep me";
            }
        }
        SetMaxLogFiles(100);
        std::fstream log;
        InstallFileLog(log, "kiv-studio/logs/");
        ASSERT_TRUE(log.is_open());
        CaptureStderr([] { blog(LOG_INFO, "mine"); });
        EXPECT_TRUE(std::regex_match(CurrentLogFileName(),
                                     std::regex(R"(\d{4}-\d\d-\d\d \d\d-\d\d-\d\d \(1\)\.txt)")))
            << CurrentLogFileName();
        EXPECT_NE(LogNameToNumber(CurrentLogFileName()), 0u) << "the housekeeping reads it";
        EXPECT_EQ(ReadLines(CurrentPath()).size(), 1u);
        EXPECT_EQ(ReadLines(precious), std::vector<std::string>{"keep me"});
        for (const std::string &name : Files()) {
            if (name != CurrentLogFileName()) {
                EXPECT_EQ(ReadLines(logs_ + "/" + name), std::vector<std::string>{"keep me"});
            }
        }
    }
}

// Another process's live log is neither removed by this process's pruning nor overwritten by a
// set-up in the same second: every line of both stays.
TEST_F(FileLogTest, AnotherProcesssLiveLogKeepsEveryLine)
{
    const auto child = [](int ready, int go, const char *tag, int lines) {
        const pid_t pid = fork();
        if (pid != 0)
            return pid;
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        char byte = 0;
        if (ready < 0 && read(go, &byte, 1) != 1) // both start together
            _exit(3);
        std::fstream log;
        InstallFileLog(log, "kiv-studio/logs/");
        for (int i = 0; i < lines; ++i)
            blog(LOG_INFO, "%s %d", tag, i);
        if (ready >= 0 && (write(ready, "r", 1) != 1 || read(go, &byte, 1) != 1))
            _exit(3);
        blog(LOG_INFO, "%s last", tag);
        _exit(0);
    };
    const auto linesWith = [this](const std::string &tag) {
        size_t n = 0;
        for (const std::string &name : Files())
            for (const std::string &line : ReadLines(logs_ + "/" + name))
                n += line.find(": " + tag + " ") != std::string::npos;
        return n;
    };
    int ready[2], go[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(go), 0);

    // A logs; a second later this process sets up with the maximum at 0, which prunes the
    // oldest log: A's, were it not live.
    const pid_t a = child(ready[1], go[0], "A", 1);
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    const std::string name = Files().at(0);
    ASSERT_TRUE(WaitFor([&] { return MakeLogFileName("txt") != name; }, 5000));
    std::fstream log;
    CaptureStderr([&] { InstallFileLog(log, "kiv-studio/logs/"); });
    ASSERT_EQ(write(go[1], "g", 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(a, &status, 0), a);
    EXPECT_EQ(linesWith("A"), 2u) << "A's log was removed under it";

    // B and C set up in the same second and log 100 lines each (and keep every log).
    SetMaxLogFiles(1000);
    const std::string now = MakeLogFileName("txt");
    ASSERT_TRUE(WaitFor([&] { return MakeLogFileName("txt") != now; }, 5000));
    const pid_t b = child(-1, go[0], "B", 100), c = child(-1, go[0], "C", 100);
    ASSERT_EQ(write(go[1], "gg", 2), 2);
    ASSERT_EQ(waitpid(b, &status, 0), b);
    ASSERT_EQ(waitpid(c, &status, 0), c);
    EXPECT_EQ(linesWith("B"), 101u);
    EXPECT_EQ(linesWith("C"), 101u);
    for (int fd : {ready[0], ready[1], go[0], go[1]})
        close(fd);
}

// Processes setting up at once, each pruning: a log is never seen unlocked under its name, so no
// pruning removes another's live log the moment it is made, and every line it writes stays.
TEST_F(FileLogTest, SetUpsAtOnceNeverLoseTheirLiveLog)
{
    constexpr int kRounds = 100, kProcesses = 8;
    int lost = 0, failed = 0;
    for (int round = 0; round < kRounds; ++round) {
        int go[2];
        ASSERT_EQ(pipe(go), 0);
        std::vector<pid_t> children;
        for (int i = 0; i < kProcesses; ++i) {
            const pid_t pid = fork();
            if (pid == 0) {
                const int null = open("/dev/null", O_WRONLY);
                dup2(null, 1); // libobs's own lines of a folder changing under it
                dup2(null, 2);
                char byte = 0;
                close(go[1]);
                if (read(go[0], &byte, 1) != 0) // starts when the pipe closes
                    _exit(3);
                std::fstream log;
                InstallFileLog(log, "kiv-studio/logs/");
                if (!log.is_open())
                    _exit(2);
                const std::string mine = "mine " + std::to_string(getpid());
                blog(LOG_INFO, "%s", mine.c_str());
                // Our log still has its name, and the line is in the file of that name.
                const std::vector<std::string> lines = ReadLines(CurrentPath());
                const bool kept = !lines.empty() && lines.back().find(mine) != std::string::npos;
                _exit(kept ? 0 : 1);
            }
            children.push_back(pid);
        }
        close(go[0]);
        close(go[1]);
        for (pid_t child : children) {
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            ASSERT_TRUE(WIFEXITED(status));
            lost += WEXITSTATUS(status) == 1;
            failed += WEXITSTATUS(status) > 1;
        }
    }
    EXPECT_EQ(lost, 0) << "set-ups whose live log was removed under them";
    EXPECT_EQ(failed, 0);
}

TEST_F(FileLogTest, ErrorsStopInAnAttachedDebuggerAfterTheFileLine)
{
    // The child asks its parent (this test) to trace it, so its TracerPid is non-zero.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Its debugger output goes to a pipe nobody reads any more, which must not end it.
        int gone[2];
        if (pipe(gone) == 0) {
            close(gone[0]);
            dup2(gone[1], 2);
        }
        signal(SIGPIPE, SIG_DFL);
        std::fstream log;
        InstallFileLog(log, "kiv-studio/logs/");
        blog(LOG_WARNING, "no stop for warnings");
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        blog(LOG_WARNING, "still no stop");
        blog(LOG_ERROR, "stop here");
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSTOPPED(status));
    EXPECT_EQ(WSTOPSIG(status), SIGTRAP);
    // The error line is already in the file when the debugger gets control.
    std::vector<std::string> names = Files();
    ASSERT_EQ(names.size(), 1u);
    const std::vector<std::string> lines = ReadLines(logs_ + "/" + names[0]);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[2].find("error: "), std::string::npos);
    // A tracer that passes the signal on, as strace does, leaves the process running.
    ptrace(PTRACE_CONT, child, nullptr, reinterpret_cast<void *>(SIGTRAP));
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status)) << "status " << status;
}

TEST_F(FileLogTest, ThreadsLoggingErrorsAtOnceSurviveATracerThatPassesTheBreakOn)
{
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(go[1]);
        char byte;
        if (read(go[0], &byte, 1) != 1) // traced from here on
            _exit(3);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        std::fstream log;
        InstallFileLog(log, "kiv-studio/logs/");
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([] {
                for (int i = 0; i < 300; ++i)
                    blog(LOG_ERROR, "error %d", i);
            });
        for (auto &thread : threads)
            thread.join();
        _exit(0);
    }
    close(go[0]);
    // Like strace -f: every thread traced, every signal handed back.
    ASSERT_EQ(ptrace(PTRACE_SEIZE, child, nullptr, reinterpret_cast<void *>(PTRACE_O_TRACECLONE)),
              0);
    ASSERT_EQ(write(go[1], "g", 1), 1);
    close(go[1]);
    int status = 0;
    for (;;) {
        const pid_t tid = waitpid(-1, &status, __WALL);
        ASSERT_GT(tid, 0);
        if (tid == child && !WIFSTOPPED(status))
            break;
        if (WIFSTOPPED(status)) {
            const long pass = (status >> 16) == 0 ? WSTOPSIG(status) : 0;
            ptrace(PTRACE_CONT, tid, nullptr, reinterpret_cast<void *>(pass));
        }
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

} // namespace
