// Captures a process with libkiv-util from the command line: prints the traces text (of each,
// given several process ids), or with --frames before the pid every thread's frames, one a
// line ("THREAD tid", then "inline|tailcall|normal<TAB>pc<TAB>function<TAB>file<TAB>line"), or with
// --repeat N the median capture time and the longest stall. With --peer FILE N instead of a
// pid it waits for a pid to appear in FILE, captures that process N times whatever each
// capture says, and prints the last text. With --run PROGRAM ARGS... it starts PROGRAM, waits
// for its "ready", prints "pid N", and captures it (text, or frames with --frames after --run)
// at each line on stdin until stdin ends.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "NVPStack.h"
#include "StackCapture.h"
#include "Wording.h"

namespace {

// withModules: two more fields, the module and the address the frame was named by as an
// offset into the module (what llvm-symbolizer or addr2line take, plus the file's image base).
void PrintFrames(const StackCapture &capture, bool withModules = false)
{
    for (const ThreadStack &thread : capture.threads) {
        std::printf("THREAD %lld\n", thread.tid);
        for (const StackFrame &frame : thread.frames) {
            std::printf("%s\t%llx\t%s\t%s\t%d",
                        frame.inlined    ? "inline"
                        : frame.tailCall ? "tailcall"
                                         : "normal",
                        static_cast<unsigned long long>(frame.pc),
                        frame.function.toUtf8().constData(), frame.file.toUtf8().constData(),
                        frame.line);
            if (withModules)
                std::printf(
                    "\t%s\t%llx", frame.module.toUtf8().constData(),
                    static_cast<unsigned long long>(frame.lookup - frame.pc + frame.moduleOffset));
            std::printf("\n");
        }
    }
}

int Run(int argc, char **argv)
{
    const bool frames = argc > 2 && std::strcmp(argv[2], "--frames") == 0;
    const int first = frames ? 3 : 2;
    QStringList args;
    for (int i = first + 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    QProcess program;
    program.start(QString::fromLocal8Bit(argv[first]), args);
    if (!program.waitForReadyRead(600000) || !program.readLine().startsWith("ready"))
        return 1;
    std::printf("pid %lld\n", static_cast<long long>(program.processId()));
    std::fflush(stdout);
    for (std::string line; std::getline(std::cin, line);) {
        const StackCapture capture = CaptureStacks(static_cast<unsigned long>(program.processId()));
        if (frames && capture.ok)
            PrintFrames(capture, true);
        else
            std::printf("%s\n", FormatCapture(capture).toUtf8().constData());
        std::printf("----\n");
        std::fflush(stdout);
    }
    program.write("quit\n");
    program.waitForFinished(10000);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 2 && std::strcmp(argv[1], "--run") == 0)
        return Run(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PID [--repeat N]\n", argv[0]);
        return 2;
    }
    if (argc >= 4 && std::strcmp(argv[1], "--peer") == 0) {
        QFile file(QString::fromLocal8Bit(argv[2]));
        while (!file.open(QIODevice::ReadOnly))
            QThread::msleep(5);
        const unsigned long peer = file.readAll().trimmed().toULong();
        QString text;
        for (int i = 0; i < std::atoi(argv[3]); ++i) {
            const StackCapture capture = CaptureStacks(peer);
            text = FormatCapture(capture);
            if (!capture.ok)
                std::printf("%s\n", text.toUtf8().constData());
        }
        std::printf("%s\n", text.toUtf8().constData());
        std::fflush(stdout); // a leak checker that cannot run under a tracer ends us hard
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "--frames") == 0) {
        const StackCapture capture = CaptureStacks(std::strtoul(argv[2], nullptr, 10));
        if (!capture.ok) {
            std::fprintf(stderr, "%s\n", FailureText(capture).toUtf8().constData());
            return 1;
        }
        PrintFrames(capture);
        return 0;
    }
    if (argc > 2 && std::strtoul(argv[2], nullptr, 10) > 0) {
        // Several processes, one after the other: every text, one per line.
        for (int i = 1; i < argc; ++i) {
            NVPStack stack(std::strtoul(argv[i], nullptr, 10), nullptr);
            stack.pStack();
            std::printf("%s\n", stack.traces().toUtf8().constData());
        }
        return 0;
    }
    const unsigned long pid = std::strtoul(argv[1], nullptr, 10);
    if (argc >= 4 && std::strcmp(argv[2], "--repeat") == 0) {
        const int repeat = std::atoi(argv[3]);
        std::vector<double> wall;
        double maxStall = 0;
        int threads = 0;
        for (int i = 0; i < repeat; ++i) {
            QElapsedTimer timer;
            timer.start();
            const StackCapture capture = CaptureStacks(pid);
            FormatCapture(capture);
            wall.push_back(timer.nsecsElapsed() / 1e6);
            maxStall = std::max(maxStall, capture.stoppedMs);
            threads = capture.threads.size();
            if (!capture.ok) {
                std::fprintf(stderr, "%s\n", FailureText(capture).toUtf8().constData());
                return 1;
            }
        }
        std::sort(wall.begin(), wall.end());
        std::printf("%.3f %.3f %d\n", wall[wall.size() / 2], maxStall, threads);
        return 0;
    }
    NVPStack stack(0, nullptr);
    stack.setPid(pid);
    stack.pStack();
    std::printf("%s\n", stack.traces().toUtf8().constData());
    return 0;
}
