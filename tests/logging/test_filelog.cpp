#include <atomic>
#include <chrono>
#include <map>
#include <regex>
#include <set>
#include <thread>

#include "FileLog.h"
#include "FileLogFixture.h"
#include "LogCapture.h"
#include "LogFolder.h"
#include "ProcessHelpers.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

TEST(LogNameToNumber, ReadsDateAndTimeDigits)
{
    const std::map<std::string, uint64_t> cases = {
        {"2026-12-07 11-32-28.txt", 20261207113228ull},
        {"2026-12-07 11-32-28 (1).txt", 20261207113228ull},
        {"7-1-2 3-4-5.txt", 712345ull},
        {"2026-12-07 11-32-28", 20261207113228ull},
        {"  2026 - 12 - 07\t11-32-28.log", 20261207113228ull},
        {"1844674407-37-09 55-16-15", 18446744073709551615ull}, // all 64 bits set
        {"1844674407-37-09 55-16-16", 0},                       // one past: not a number
        {"99999999999999999999-1-1 1-1-1.txt", 0},
        {"log.txt", 0},
        {"2026-12-07.txt", 0},
        {"2026-12-07 11.txt", 0},
        {"2026-12-07 11-32.txt", 0},
        {"2026_12_07 11_32_28.txt", 0},
        {"2026-12-0711-32-28.txt", 0},
        {"x2026-12-07 11-32-28.txt", 0},
        {"", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(LogNameToNumber(c.first.c_str()), c.second) << '"' << c.first << '"';
    EXPECT_EQ(LogNameToNumber(nullptr), 0u);
}

// A name written is read back as its second, plain or numbered: every second of a day, and the
// edges of dates, with every number a second may take.
TEST(LogName, WrittenNamesReadBackAsTheirSecond)
{
    const auto number = [](const struct tm &t) {
        return ((((uint64_t(t.tm_year + 1900) * 100 + uint64_t(t.tm_mon + 1)) * 100 +
                  uint64_t(t.tm_mday)) *
                     100 +
                 uint64_t(t.tm_hour)) *
                    100 +
                uint64_t(t.tm_min)) *
                   100 +
               uint64_t(t.tm_sec);
    };
    struct tm day = {};
    day.tm_year = 2026 - 1900;
    day.tm_mon = 11;
    day.tm_mday = 7;
    for (int second = 0; second < 24 * 3600; ++second) {
        day.tm_hour = second / 3600;
        day.tm_min = second / 60 % 60;
        day.tm_sec = second % 60;
        for (int n : {0, 99})
            ASSERT_EQ(LogNameToNumber(LogName(day, n, "txt").c_str()), number(day))
                << LogName(day, n, "txt");
    }
    const struct {
        int year, month, dayOfMonth, hour, minute, second;
    } edges[] = {{1970, 1, 1, 0, 0, 0},
                 {2024, 2, 29, 23, 59, 59},
                 {2026, 12, 31, 23, 59, 60},
                 {9999, 12, 31, 0, 0, 1}};
    for (const auto &e : edges) {
        struct tm t = {};
        t.tm_year = e.year - 1900;
        t.tm_mon = e.month - 1;
        t.tm_mday = e.dayOfMonth;
        t.tm_hour = e.hour;
        t.tm_min = e.minute;
        t.tm_sec = e.second;
        for (int n = 0; n < kLogNamesPerSecond; ++n) {
            const std::string name = LogName(t, n, "txt");
            EXPECT_EQ(LogNameToNumber(name.c_str()), number(t)) << name;
            EXPECT_EQ(name.substr(name.size() - 4), ".txt");
            EXPECT_EQ(NumberedLogName(LogName(t, 0, "log"), n), LogName(t, n, "log"));
        }
    }
    EXPECT_EQ(LogName(day, 7, "txt"), "2026-12-07 23-59-59 (7).txt");
}

TEST_F(FileLogTest, NewestLogIgnoresFoldersDotFilesAndOtherNames)
{
    Touch(logs_ + "/2026-12-05 08-00-00.txt");
    Touch(logs_ + "/2026-12-06 09-30-00.txt");
    Touch(logs_ + "/.2030-01-01 00-00-00.txt");
    Touch(logs_ + "/notes.txt");
    ASSERT_EQ(os_mkdir((logs_ + "/2031-01-01 00-00-00.txt").c_str()), MKDIR_SUCCESS);
    FindNewestLog();
    EXPECT_STREQ(PreviousLogFileName(), "2026-12-06 09-30-00.txt");

    // A scan that finds nothing keeps the old name.
    os_unlink((logs_ + "/2026-12-05 08-00-00.txt").c_str());
    os_unlink((logs_ + "/2026-12-06 09-30-00.txt").c_str());
    FindNewestLog();
    EXPECT_STREQ(PreviousLogFileName(), "2026-12-06 09-30-00.txt");
}

TEST_F(FileLogTest, EqualNumbersKeepTheFirstListed)
{
    Touch(logs_ + "/2026-12-07 11-32-28.txt");
    Touch(logs_ + "/2026-12-07 11-32-28 (1).txt");
    std::vector<std::string> order;
    os_dir_t *dir = os_opendir(logs_.c_str());
    while (os_dirent *entry = os_readdir(dir))
        if (entry->d_name[0] != '.')
            order.push_back(entry->d_name);
    os_closedir(dir);

    FindNewestLog();
    EXPECT_EQ(PreviousLogFileName(), order.front());
    SetMaxLogFiles(1);
    PruneOldestLog("kiv-studio/logs");
    EXPECT_EQ(Files(), std::vector<std::string>{order.back()});
}

TEST_F(FileLogTest, PruneRemovesAtMostTheOneOldestLog)
{
    for (int day = 1; day <= 5; ++day)
        Touch(logs_ + "/2026-11-0" + std::to_string(day) + " 10-00-00.txt");
    Touch(logs_ + "/readme.txt");
    SetMaxLogFiles(3);
    PruneOldestLog("kiv-studio/logs/");
    EXPECT_EQ(Files(), (std::vector<std::string>{
                           "2026-11-02 10-00-00.txt", "2026-11-03 10-00-00.txt",
                           "2026-11-04 10-00-00.txt", "2026-11-05 10-00-00.txt", "readme.txt"}));
    SetMaxLogFiles(4);
    PruneOldestLog("kiv-studio/logs/");
    EXPECT_EQ(Files().size(), 5u) << "four logs are not more than four";
    PruneOldestLog("no/such/folder"); // nothing to do, nothing to crash
}

TEST_F(FileLogTest, SetUpWritesStampedLinesAndNeverPrunesItsOwnFile)
{
    Touch(logs_ + "/2020-01-01 00-00-00.txt");
    std::fstream log;
    InstallFileLog(log, "kiv-studio/logs/");
    ASSERT_TRUE(log.is_open());
    EXPECT_STREQ(PreviousLogFileName(), "2020-01-01 00-00-00.txt");
    EXPECT_EQ(Files(), std::vector<std::string>{CurrentLogFileName()})
        << "maximum 0: the old log goes, the new one stays";
    EXPECT_TRUE(std::regex_match(CurrentLogFileName(),
                                 std::regex(R"(\d{4}-\d\d-\d\d \d\d-\d\d-\d\d\.txt)")));
#if defined(_WIN32)
    // Open without delete sharing from the moment it exists: no process's pruning removes it.
    EXPECT_FALSE(DeleteFileA(CurrentPath().c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
#endif

    blog(LOG_INFO, "%s", "");
    blog(LOG_INFO, "a\nb");
    blog(LOG_WARNING, "a\r\nb");
    blog(LOG_INFO, "\nx\ny");
    blog(LOG_INFO, "tail\n");
    blog(LOG_INFO, "lone\rcr");
    blog(LOG_DEBUG, "debug only");
    blog(LOG_ERROR, "bad %d", 42); // no debugger attached: no stop
    blog(250, "odd level");

    const std::vector<std::string> lines = ReadLines(CurrentPath());
    const std::string stamp = R"(\d\d:\d\d:\d\d\.\d{3}: )";
    const std::vector<std::string> expected = {
        "info: " + stamp,
        "info: " + stamp + "a",
        stamp + "b",
        "warning: " + stamp + "a",
        stamp + "b",
        "info: " + stamp,
        stamp + "x",
        stamp + "y",
        "info: " + stamp + "tail",
        stamp,
        "info: " + stamp + "lone\rcr",
        "error: " + stamp + "bad 42",
    };
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_TRUE(std::regex_match(lines[i], std::regex(expected[i]))) << i << ": " << lines[i];
    // One stamp for all lines of a message.
    EXPECT_EQ(lines[1].substr(6, 12), lines[2].substr(0, 12));

    // A set-up on the stream that is still open moves logging into a new file, which exists.
    const std::string first = CurrentLogFileName();
    ASSERT_TRUE(WaitFor([&] { return MakeLogFileName("txt") != first; }, 5000));
    InstallFileLog(log, "kiv-studio/logs/");
    blog(LOG_INFO, "into the second file");
    EXPECT_NE(CurrentLogFileName(), first);
    const std::vector<std::string> second = ReadLines(CurrentPath());
    ASSERT_EQ(second.size(), 1u);
    EXPECT_NE(second[0].find("into the second file"), std::string::npos);
}

TEST_F(FileLogTest, OverLongMessagesAreCutToTheBuffer)
{
    std::fstream log;
    InstallFileLog(log, "kiv-studio/logs/");
    ASSERT_TRUE(log.is_open());
    const std::string longText(6000, 'x');
    blog(LOG_INFO, "%s", longText.c_str());
    const std::vector<std::string> lines = ReadLines(CurrentPath());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), std::string("info: 00:00:00.000: ").size() + 5119);
}

TEST_F(FileLogTest, MissingFolderLogsAnErrorAndInstallsNothing)
{
    LogCapture capture;
    std::fstream log;
    InstallFileLog(log, "kiv-studio/missing/");
    EXPECT_FALSE(log.is_open());
    EXPECT_TRUE(log.fail());
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_EQ(capture.lines()[0].level, LOG_ERROR);
    EXPECT_EQ(capture.lines()[0].text, "Failed to open log file");
    log_handler_t handler = nullptr;
    void *param = nullptr;
    base_get_log_handler(&handler, &param);
    EXPECT_EQ(param, &capture) << "the handler in place stays";
    EXPECT_NE(std::string(CurrentLogFileName()), "") << "the attempted name is kept";
}

TEST_F(FileLogTest, SetUpsInOneSecondShareTheFileWhileThreadsWrite)
{
    // Set-ups come faster than the clock's seconds, so most find the live file's name taken:
    // they must share it, never truncate it under the writers.
    SetMaxLogFiles(1000);
    std::fstream streams[2];
    InstallFileLog(streams[0], "kiv-studio/logs/");
    std::atomic<bool> stop{false};
    std::atomic<long> written{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([&] {
            while (!stop) {
                blog(LOG_INFO, "line");
                ++written;
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
        });
    for (int setUp = 1; setUp <= 40; ++setUp) {
        InstallFileLog(streams[setUp % 2], "kiv-studio/logs/");
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    stop = true;
    for (auto &writer : writers)
        writer.join();
    blog(LOG_INFO, "line");
    ++written;

    long lines = 0;
    for (const std::string &name : Files()) {
        std::ifstream in(logs_ + "/" + name, std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(in)), {});
        EXPECT_EQ(text.find('\0'), std::string::npos) << name;
        lines += std::count(text.begin(), text.end(), '\n');
    }
    EXPECT_EQ(lines, written.load()) << "every line logged is in a file";
    const std::vector<std::string> last = ReadLines(CurrentPath());
    ASSERT_FALSE(last.empty());
    EXPECT_NE(last.back().find("line"), std::string::npos);
}

TEST_F(FileLogTest, ConcurrentWritersNeverTearOrInterleaveLines)
{
    std::fstream log;
    InstallFileLog(log, "kiv-studio/logs/");
    ASSERT_TRUE(log.is_open());
    const int kThreads = 4, kMessages = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kMessages; ++i)
                blog(LOG_INFO, "T%d-%d first\nT%d-%d second\r\nT%d-%d third", t, i, t, i, t, i);
        });
    for (auto &thread : threads)
        thread.join();
    const std::vector<std::string> lines = ReadLines(CurrentPath());
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kMessages * 3));
    const std::regex first(R"(info: \d\d:\d\d:\d\d\.\d{3}: (T\d+-\d+) first)");
    std::set<std::string> seen;
    for (size_t i = 0; i < lines.size(); i += 3) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, first)) << lines[i];
        const std::string id = m[1];
        const std::string stamp = lines[i].substr(6, 14);
        EXPECT_EQ(lines[i + 1], stamp + id + " second");
        EXPECT_EQ(lines[i + 2], stamp + id + " third");
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kMessages));
}

} // namespace
