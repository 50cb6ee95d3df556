// All-thread stack capture of a target whose threads wait in nested calls, for 1 to 5000
// threads, in a viewer that is already running (it has captured another process before):
// how long the target is held, seen from a heartbeat thread inside it and from our own clock;
// the first capture of the new target (the user's click); repeated captures; and eu-stack with
// and without file:line in the same run, with the ratios the goals are stated in.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

#include "StackCapture.h"

namespace {

double Median(std::vector<double> v)
{
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::vector<double> Repeat(int n, const std::function<double()> &f)
{
    std::vector<double> v;
    for (int i = 0; i < n; ++i) {
        const double ms = f();
        if (ms >= 0)
            v.push_back(ms);
    }
    return v;
}

#if !defined(_WIN32)
double Max(const std::vector<double> &v)
{
    return v.empty() ? -1 : *std::max_element(v.begin(), v.end());
}

// Wall time of one run of a command, in ms; -1 when it fails.
double TimeCommand(const QString &program, const QStringList &args)
{
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    process.start(program, args);
    if (!process.waitForFinished(60000))
        return -1;
    const double ms = timer.nsecsElapsed() / 1e6;
    return process.exitStatus() == QProcess::NormalExit ? ms : -1;
}

// A new viewer's capture (norva-capture-cli PID, the text as the viewer shows it), in ms, with
// its name cache in cacheDir: empty for a program never seen, filled by an earlier one.
double TimeNewViewer(unsigned long pid, const QString &cacheDir)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CACHE_HOME"), cacheDir);
    process.setProcessEnvironment(env);
    process.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    process.start(QStringLiteral(NORVA_CAPTURE_CLI), {QString::number(pid)});
    if (!process.waitForFinished(60000))
        return -1;
    const double ms = timer.nsecsElapsed() / 1e6;
    return process.exitStatus() == QProcess::NormalExit ? ms : -1;
}

// A new viewer's first capture of a program never seen (a cache of its own, empty each time)
// and of one seen before (the cache the last of those left), medians over runs.
void NewViewer(int runs, unsigned long pid, double *cold, double *warm)
{
    QTemporaryDir dir;
    const QString cache = dir.path() + QStringLiteral("/cache");
    *cold = Median(Repeat(runs, [&] {
        QDir(cache).removeRecursively();
        return TimeNewViewer(pid, cache);
    }));
    *warm = Median(Repeat(runs, [&] { return TimeNewViewer(pid, cache); }));
}

#endif

// The helper with a heartbeat thread that reports its longest pause, or another program that
// says "ready" when it is.
class Target {
public:
    explicit Target(int threads)
        : Target(QStringLiteral(NORVA_STACK_HELPER),
                 {QString::number(threads), QStringLiteral("heartbeat")})
    {
    }
    Target(const QString &program, const QStringList &args)
    {
        process_.start(program, args);
        ok_ = process_.waitForReadyRead(60000) && process_.readLine().startsWith("ready");
        QThread::msleep(200); // its last threads on their way to sleep
    }
    ~Target()
    {
        process_.kill();
        process_.waitForFinished(5000);
    }
    bool ok() const { return ok_; }
    unsigned long pid() const { return static_cast<unsigned long>(process_.processId()); }
    // The heartbeat's longest pause since the last call, in ms.
    double Gap()
    {
        process_.write("gap\n");
        return process_.waitForReadyRead(5000) ? process_.readLine().trimmed().toDouble() : -1;
    }

private:
    QProcess process_;
    bool ok_ = false;
};

double TimedCapture(unsigned long pid, double *held = nullptr)
{
    QElapsedTimer timer;
    timer.start();
    const StackCapture capture = CaptureStacks(pid);
    FormatCapture(capture);
    if (held)
        *held = capture.stoppedMs;
    return capture.ok ? timer.nsecsElapsed() / 1e6 : -1.0;
}

#if !defined(_WIN32)
int FrameCount(const StackCapture &capture)
{
    int frames = 0;
    for (const ThreadStack &thread : capture.threads)
        frames += thread.frames.size();
    return frames;
}

#endif

#if defined(_WIN32)
// Windows (under Wine here): first and repeated captures of targets of 65 and 500 threads, and
// how long each is held.
int WindowsForm(int runs, const std::vector<int> &counts)
{
    {
        Target warmUp(QStringLiteral(NORVA_STACK_HELPER), {QStringLiteral("1")});
        if (!warmUp.ok() || TimedCapture(warmUp.pid()) < 0)
            return 1;
    }
    std::printf("stack capture in a running viewer, ms (median over %d runs)\n", runs);
    std::printf("%7s %9s %9s %9s %9s %11s\n", "threads", "first", "held-1st", "repeated", "held",
                "rep/first");
    for (int threads : counts) {
        Target target(QStringLiteral(NORVA_STACK_HELPER), {QString::number(threads - 1)});
        if (!target.ok())
            return 1;
        double firstHeld = 0;
        const double first = TimedCapture(target.pid(), &firstHeld);
        std::vector<double> held;
        const double repeated = Median(Repeat(runs, [&] {
            double stopped = 0;
            const double ms = TimedCapture(target.pid(), &stopped);
            held.push_back(stopped);
            return ms;
        }));
        std::printf("%7d %9.1f %9.2f %9.2f %9.2f %11.3f\n", threads, first, firstHeld, repeated,
                    Median(held), first > 0 ? repeated / first : -1);
        std::fflush(stdout);
    }
    return 0;
}
#else
// A running thread 1 MiB deep: copied whole while held.
void Deeper(int runs)
{
    Target target(QStringLiteral(NORVA_STACK_HELPER),
                  {QStringLiteral("0"), QStringLiteral("deep"), QStringLiteral("1024")});
    if (!target.ok())
        return;
    std::vector<double> held, frames;
    const double repeated = Median(Repeat(runs, [&] {
        double stopped = 0;
        const double ms = TimedCapture(target.pid(), &stopped);
        held.push_back(stopped);
        frames.push_back(FrameCount(CaptureStacks(target.pid())));
        return ms;
    }));
    std::printf("\none running thread 1 MiB deep: capture %.2f ms, held %.2f ms (max %.2f), "
                "frames %.0f..%.0f\n",
                repeated, Median(held), Max(held),
                frames.empty() ? 0.0 : *std::min_element(frames.begin(), frames.end()),
                Max(frames));
}

// A large -O2 -g program with many inlined calls, against eu-stack -i and gdb.
void LargeProgram(int runs, const QString &euStack)
{
    Target target(QStringLiteral(NORVA_LARGE_TARGET), {});
    if (!target.ok())
        return;
    const QString pid = QString::number(target.pid());
    const double first = TimedCapture(target.pid());
    const double repeated = Median(Repeat(runs, [&] { return TimedCapture(target.pid()); }));
    const StackCapture capture = CaptureStacks(target.pid());
    double cold = 0, warm = 0;
    NewViewer(runs, target.pid(), &cold, &warm);
    const double eu = euStack.isEmpty() ? -1 : Median(Repeat(runs, [&] {
        return TimeCommand(euStack, {"-i", "-s", "-p", pid});
    }));
    const QString gdb = QStandardPaths::findExecutable(QStringLiteral("gdb"));
    const double gdbMs = gdb.isEmpty() ? -1 : Median(Repeat(std::min(runs, 3), [&] {
        return TimeCommand(gdb, {"-batch", "-nx", "-iex", "set debuginfod enabled off", "-ex",
                                 "thread apply all bt", "-p", pid});
    }));
    std::printf("\na large -O2 -g program (%d threads, %d frames shown, inlined calls included)\n"
                "  first %.1f ms, repeated %.1f ms; eu-stack -i -s %.1f ms (ratio %.3f / %.3f); "
                "gdb %.1f ms (ratio %.3f / %.3f)\n"
                "  a new viewer: never seen %.1f ms (%.3f of eu-stack -i -s), seen before %.1f ms "
                "(%.2f of repeated)\n",
                capture.threads.size(), FrameCount(capture), first, repeated, eu,
                eu > 0 ? first / eu : -1, eu > 0 ? repeated / eu : -1, gdbMs,
                gdbMs > 0 ? first / gdbMs : -1, gdbMs > 0 ? repeated / gdbMs : -1, cold,
                eu > 0 ? cold / eu : -1, warm, repeated > 0 ? warm / repeated : -1);
}

#endif

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? atoi(argv[1]) : 7;
    // The running viewer's name cache: a folder of its own, not the user's.
    QTemporaryDir cache;
    qputenv("XDG_CACHE_HOME", cache.path().toLocal8Bit());
    // Thread counts to measure, "256,1000"; all of them when not given.
    std::vector<int> counts = {1, 16, 64, 256, 1000, 5000};
    if (argc > 2) {
        counts.clear();
        for (const QString &n : QString::fromLatin1(argv[2]).split(QLatin1Char(',')))
            counts.push_back(n.toInt());
    }
#if defined(_WIN32)
    if (argc <= 2)
        counts = {65, 500};
    return WindowsForm(runs, counts);
#else
    const QString euStack = QStandardPaths::findExecutable(QStringLiteral("eu-stack"));

    // The viewer has been used before: Qt, libdw and the C library's debug information are in.
    {
        Target warmUp(1);
        if (!warmUp.ok() || TimedCapture(warmUp.pid()) < 0)
            return 1;
    }

    std::printf("stack capture in a running viewer, ms (median over %d runs unless marked)\n",
                runs);
    std::printf("%7s %8s %8s %8s %9s %7s %9s %8s %8s %8s %10s %10s %9s %9s\n", "threads", "hold-hb",
                "hb-idle", "hold-own", "hold-goal", "first", "repeated", "new-cold", "new-warm",
                "eu-stack", "eu-stack-s", "cold/eu-s", "warm/rep", "rep/eu");
    for (int threads : counts) {
        Target target(threads);
        if (!target.ok())
            return 1;
        const QString pid = QString::number(target.pid());
        target.Gap();
        const double first = TimedCapture(target.pid());
        std::vector<double> gaps, idle, held;
        const double repeated = Median(Repeat(runs, [&] {
            QThread::msleep(20);
            idle.push_back(target.Gap()); // the same 20 ms with no capture
            double stopped = 0;
            const double ms = TimedCapture(target.pid(), &stopped);
            gaps.push_back(target.Gap());
            held.push_back(stopped);
            return ms;
        }));
        const double eu = euStack.isEmpty() ? -1 : Median(Repeat(runs, [&] {
            return TimeCommand(euStack, {QStringLiteral("-p"), pid});
        }));
        const double euLines = euStack.isEmpty() ? -1 : Median(Repeat(runs, [&] {
            return TimeCommand(euStack, {QStringLiteral("-s"), QStringLiteral("-p"), pid});
        }));
        double cold = 0, warm = 0;
        NewViewer(runs, target.pid(), &cold, &warm);
        // The goal: 25 us a thread and 1 ms, and never past the 150 ms deadline.
        const double goal = std::min(0.025 * threads + 1, 150.0);
        std::printf("%7d %8.2f %8.2f %8.2f %9.2f %7.1f %9.2f %8.1f %8.1f %8.1f %10.1f %10.3f "
                    "%9.2f %9.4f\n",
                    threads, Median(gaps), Median(idle), Median(held), goal, first, repeated, cold,
                    warm, eu, euLines, euLines > 0 ? cold / euLines : -1,
                    repeated > 0 ? warm / repeated : -1, eu > 0 ? repeated / eu : -1);
        std::printf("%7s %8.2f %8.2f %8.2f   (max)\n", "", Max(gaps), Max(idle), Max(held));
        std::fflush(stdout);
    }
    Deeper(runs);
    LargeProgram(runs, euStack);
    std::printf("hold-hb: longest pause of a heartbeat thread (1 ms ticks) inside the target\n"
                "during a capture; hb-idle: the same over 20 ms without one, so hold-hb minus\n"
                "hb-idle is what a capture costs the target. hold-own: our own clock, first stop\n"
                "asked for to last thread released; hold-goal: what it may take. first: the first "
                "capture of a new target;\n"
                "new-cold / new-warm: a new viewer process (norva-capture-cli) capturing a program "
                "never seen /\nseen before (its name cache empty / filled);\n"
                "eu-stack prints file:line only with -s.\n");
    return 0;
#endif
}
