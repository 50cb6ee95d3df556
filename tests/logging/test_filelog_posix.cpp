// What only Linux has: the debugger output on standard error, a write limit standing in for a
// full disk, and a real tracer that receives the break of an error line.
#include <csignal>
#include <fcntl.h>
#include <regex>
#include <set>
#include <sstream>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "FileLogFixture.h"

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
    const std::vector<std::string> lines = ReadLines(CurrentPath());
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
