// All-thread stack capture of a target whose threads wait in nested calls, for 1, 16, 64 and
// 256 threads: libkiv-util (a fresh process per capture, and repeated captures in one viewer)
// against eu-stack and gdb in the same run. Prints medians and the ratio to eu-stack.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
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

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? atoi(argv[1]) : 7;
    const QString euStack = QStandardPaths::findExecutable(QStringLiteral("eu-stack"));
    const QString gdb = QStandardPaths::findExecutable(QStringLiteral("gdb"));

    // A cache of uncompressed debug files of our own, empty at the start of the run.
    QTemporaryDir cache;
    qputenv("XDG_CACHE_HOME", cache.path().toLocal8Bit());

    std::printf("stack capture, median wall time in ms over %d runs (gdb: 3)\n", runs);
    std::printf("%8s %10s %10s %10s %10s %12s %10s %10s %10s %10s\n", "threads", "ours-cold",
                "ours-warm", "stall-max", "eu-stack", "eu-stack -s", "gdb", "cold/eu", "warm/eu",
                "cold/eu-s");
    for (int threads : {1, 16, 64, 256}) {
        QProcess helper;
        helper.start(QStringLiteral(NORVA_STACK_HELPER), {QString::number(threads)});
        if (!helper.waitForReadyRead(20000))
            return 1;
        const QString pid = QString::number(helper.processId());

        if (threads == 1) {
            const double first = TimeCommand(QStringLiteral(NORVA_CAPTURE_CLI), {pid});
            std::printf("first capture with an empty debug-information cache: %.1f ms\n", first);
        }
        const double cold = Median(
            Repeat(runs, [&] { return TimeCommand(QStringLiteral(NORVA_CAPTURE_CLI), {pid}); }));
        double stall = 0;
        const double warm = Median(Repeat(runs, [&] {
            QElapsedTimer timer;
            timer.start();
            const StackCapture capture = CaptureStacks(helper.processId());
            FormatCapture(capture);
            stall = std::max(stall, capture.stoppedMs);
            return capture.ok ? timer.nsecsElapsed() / 1e6 : -1.0;
        }));
        const double eu = euStack.isEmpty() ? -1 : Median(Repeat(runs, [&] {
            return TimeCommand(euStack, {QStringLiteral("-p"), pid});
        }));
        const double euLines = euStack.isEmpty() ? -1 : Median(Repeat(runs, [&] {
            return TimeCommand(euStack, {QStringLiteral("-s"), QStringLiteral("-p"), pid});
        }));
        const double gd = gdb.isEmpty() ? -1 : Median(Repeat(3, [&] {
            return TimeCommand(gdb, {"-batch", "-nx", "-p", pid, "-ex", "thread apply all bt"});
        }));
        std::printf("%8d %10.1f %10.1f %10.1f %10.1f %12.1f %10.1f %10.3f %10.3f %10.3f\n", threads,
                    cold, warm, stall, eu, euLines, gd, eu > 0 ? cold / eu : -1,
                    eu > 0 ? warm / eu : -1, euLines > 0 ? cold / euLines : -1);
        std::fflush(stdout);
        helper.write("quit\n");
        helper.waitForFinished(10000);
    }
    std::printf("ours-cold: a new norva-capture-cli process per capture (file:line included,\n"
                "debug-information cache filled);\n"
                "ours-warm: repeated captures in one viewer; stall-max: longest time the target's\n"
                "threads were held, over the warm runs; eu-stack prints file:line only with -s.\n");
    return 0;
}
