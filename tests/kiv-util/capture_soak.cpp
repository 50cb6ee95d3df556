// Captures a busy target again and again: 64 threads that keep starting and ending threads.
// Every capture must return text, the target must never be left stopped or traced, and this
// process's memory and descriptors must stay flat.
//   norva-capture-soak [captures=500] [threads=64]
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "ProcessHelpers.h"
#include "StackCapture.h"
#include "Wording.h"

namespace {

long RssKb()
{
    return StatusField(QCoreApplication::applicationPid(), "VmRSS:").split(' ').value(0).toLong();
}

// Open descriptors, less the module and debug files that the stack walker keeps open for the
// target's modules (debug files as in-memory copies among them): those come once per module,
// whenever a frame first lands in one.
int OpenDescriptors()
{
    int count = 0;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QFileInfo &fd :
         fds.entryInfoList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System)) {
        const QString target = fd.symLinkTarget();
        const bool moduleFile = target.endsWith(QStringLiteral(".debug")) ||
                                target.contains(QStringLiteral("memfd:norva-debuginfo")) ||
                                target.contains(QStringLiteral(".so")) ||
                                target == QStringLiteral(NORVA_STACK_HELPER);
        count += !moduleFile;
    }
    return count;
}

} // namespace

int main(int argc, char **argv)
{
    // A name cache of its own, empty: the warm-up loads the debug information as a new viewer
    // meeting a new program does, and the user's cache is left alone.
    QTemporaryDir cacheHome;
    qputenv("XDG_CACHE_HOME", cacheHome.path().toLocal8Bit());
    QCoreApplication app(argc, argv);
    const int captures = argc > 1 ? atoi(argv[1]) : 500;
    const int threads = argc > 2 ? atoi(argv[2]) : 64;

    QProcess helper;
    helper.start(QStringLiteral(NORVA_STACK_HELPER),
                 {QString::number(threads), QStringLiteral("churn")});
    if (!helper.waitForReadyRead(20000)) {
        std::fprintf(stderr, "helper did not start\n");
        return 1;
    }

    int failures = 0, refused = 0;
    long rssAfterWarmUp = 0;
    int fdsAfterWarmUp = 0;
    std::vector<double> times, stalls;
    std::vector<int> threadCounts;
    for (int i = 0; i < captures; ++i) {
        QElapsedTimer timer;
        timer.start();
        const StackCapture capture = CaptureStacks(static_cast<unsigned long>(helper.processId()));
        const QString text = FormatCapture(capture);
        times.push_back(timer.nsecsElapsed() / 1e6);
        stalls.push_back(capture.stoppedMs);
        threadCounts.push_back(capture.threads.size());
        if (text.isEmpty() || (!capture.ok && FailureText(capture).isEmpty())) {
            std::fprintf(stderr, "capture %d gave no text\n", i);
            ++failures;
        }
        refused += !capture.ok;
        const QByteArray tracer = StatusField(helper.processId(), "TracerPid:");
        const QByteArray state = StatusField(helper.processId(), "State:").left(1);
        if (tracer != "0" || state == "t" || state == "T") {
            std::fprintf(stderr, "capture %d left the target %s with tracer %s\n", i,
                         state.constData(), tracer.constData());
            ++failures;
        }
        if (i == std::max(0, captures / 10)) {
            rssAfterWarmUp = RssKb();
            fdsAfterWarmUp = OpenDescriptors();
        }
    }
    const long rssEnd = RssKb();
    const int fdsEnd = OpenDescriptors();

    helper.write("quit\n");
    const bool ended = helper.waitForFinished(20000) && helper.exitCode() == 0;
    if (!ended) {
        std::fprintf(stderr, "the target did not end by itself after the captures\n");
        ++failures;
    }
    std::sort(times.begin(), times.end());
    std::sort(stalls.begin(), stalls.end());
    const auto minmax = std::minmax_element(threadCounts.begin(), threadCounts.end());
    std::printf("capture soak: %d captures of a churning %d-thread target\n", captures, threads);
    std::printf("  threads seen          %d..%d\n", *minmax.first, *minmax.second);
    std::printf("  capture ms            p50 %.1f  p99 %.1f\n", times[times.size() / 2],
                times[times.size() * 99 / 100]);
    std::printf("  target stalled ms     p50 %.1f  p99 %.1f  max %.1f\n", stalls[stalls.size() / 2],
                stalls[stalls.size() * 99 / 100], stalls.back());
    std::printf("  viewer RSS kB         %ld after warm-up, %ld at end\n", rssAfterWarmUp, rssEnd);
    std::printf("  viewer descriptors    %d after warm-up, %d at end\n", fdsAfterWarmUp, fdsEnd);
    std::printf("  refused captures      %d, failures %d\n", refused, failures);
    // Flat: no descriptor more, memory within a margin for allocator noise. Under
    // AddressSanitizer freed memory sits in quarantine, so there its leak check at exit decides.
#if defined(__SANITIZE_ADDRESS__)
    const bool memoryGrew = false;
#else
    const bool memoryGrew = rssEnd > rssAfterWarmUp + rssAfterWarmUp / 5 + 4096;
#endif
    if (fdsEnd > fdsAfterWarmUp || memoryGrew) {
        std::fprintf(stderr, "resources grew\n");
        ++failures;
    }
    return failures == 0 ? 0 : 1;
}
