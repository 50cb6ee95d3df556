// Lines per second through blog into the file log with four threads, against a plain
// fprintf + fflush loop writing the same lines in the same run.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <util/base.h>
#include <util/platform.h>
#include <vector>

#include "FileLog.h"

namespace {

constexpr int kThreads = 4;

template <typename F> double LinesPerSecond(int linesPerThread, F writeLine)
{
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([=] {
            for (int i = 0; i < linesPerThread; ++i)
                writeLine(t, i);
        });
    for (auto &thread : threads)
        thread.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return kThreads * linesPerThread / seconds;
}

} // namespace

int main(int argc, char **argv)
{
    const int lines = argc > 1 ? std::atoi(argv[1]) : 50000;
    char tmpl[] = "/tmp/bench-filelog-XXXXXX";
    if (!mkdtemp(tmpl))
        return 1;
    const std::string dir = tmpl;
    setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
    os_mkdirs((dir + "/kiv-studio/logs").c_str());

    // The debugger output channel is standard error; keep it off the terminal.
    const int saved = dup(2);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);

    std::fstream log;
    InstallFileLog(log, "kiv-studio/logs/");
    const double fileLog = LinesPerSecond(lines, [](int t, int i) {
        blog(LOG_INFO, "watch thread %d pass %d: GetLastError = %lu", t, i, 2ul);
    });

    FILE *plain = std::fopen((dir + "/plain.txt").c_str(), "w");
    const double reference = LinesPerSecond(lines, [plain](int t, int i) {
        std::fprintf(plain, "info: %s: watch thread %d pass %d: GetLastError = %lu\n",
                     LogTimeStamp().c_str(), t, i, 2ul);
        std::fflush(plain);
    });
    std::fclose(plain);

    dup2(saved, 2);
    std::printf("file log, %d threads x %d lines\n", kThreads, lines);
    std::printf("  blog -> file log      %12.0f lines/s\n", fileLog);
    std::printf("  fprintf + fflush      %12.0f lines/s\n", reference);
    std::printf("  ratio file log/plain  %12.2f\n", fileLog / reference);
    std::system(("rm -rf '" + dir + "'").c_str());
    return 0;
}
