#pragma once
// What the capture library's end-to-end tests share: the helper program in a mode, captures of
// it as the viewer shows them, and the files they build (tools, zlib bombs, chains of
// libraries).

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextDocument>
#include <atomic>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <zlib.h>

#include "NVPStack.h"
#include "ProcessHelpers.h"
#include "StackCapture.h"
#include "Wording.h"

class Helper {
public:
    // command: what runs the helper, itself by default.
    explicit Helper(int threads, const QStringList &mode = {},
                    const QStringList &command = {QStringLiteral(NORVA_STACK_HELPER)})
    {
        process_.start(command.first(),
                       command.mid(1) + QStringList{QString::number(threads)} + mode);
        EXPECT_TRUE(process_.waitForStarted(5000));
        EXPECT_TRUE(process_.waitForReadyRead(10000));
        EXPECT_EQ(process_.readLine().trimmed(), "ready");
        // Its main thread, which said so, has yet to get where it waits (or ends, in a mode
        // that ends by itself).
        EXPECT_TRUE(WaitFor([this] { return MainState() != 'R'; }, 20000));
    }
    char MainState() const
    {
        const QByteArray state = StatusField(pid(), "State:");
        return state.isEmpty() ? 0 : state[0];
    }
    ~Helper()
    {
        process_.kill();
        process_.waitForFinished(5000);
    }
    qint64 pid() const { return process_.processId(); }
    // Asks the helper to end; true when it does so by itself, which a stopped one cannot.
    bool EndsWhenAsked()
    {
        process_.write("quit\n");
        return process_.waitForFinished(5000) && process_.exitCode() == 0;
    }

    // One line to the helper, its one-line answer back.
    QByteArray Ask(const QByteArray &line)
    {
        process_.write(line + '\n');
        return process_.waitForReadyRead(5000) ? process_.readLine().trimmed() : QByteArray();
    }
    bool Collected() { return process_.waitForFinished(3000); }

private:
    QProcess process_;
};

inline QString Capture(qint64 pid)
{
    NVPStack stack(0, nullptr);
    stack.setPid(static_cast<unsigned long>(pid));
    stack.pStack();
    return stack.traces();
}

inline QString AsShown(const QString &html)
{
    QTextDocument document;
    document.setHtml(html);
    return document.toPlainText();
}

inline bool Tool(const QString &program, const QStringList &args)
{
    QProcess process;
    process.start(program, args);
    return process.waitForFinished(60000) && process.exitCode() == 0;
}

// A compressed section's contents in the GNU layout: "ZLIB", the inflated size (8 bytes, most
// significant first), the zlib stream. Zeros inflate a thousandfold.
inline QByteArray ZeroBomb(quint64 size)
{
    QByteArray out("ZLIB");
    for (int shift = 56; shift >= 0; shift -= 8)
        out.append(static_cast<char>((size >> shift) & 0xff));
    z_stream z = {};
    deflateInit(&z, Z_BEST_SPEED);
    std::vector<unsigned char> zeros(1 << 20), chunk(1 << 16);
    for (quint64 done = 0; done < size;) {
        const quint64 n = std::min<quint64>(zeros.size(), size - done);
        done += n;
        z.next_in = zeros.data();
        z.avail_in = static_cast<uInt>(n);
        do {
            z.next_out = chunk.data();
            z.avail_out = static_cast<uInt>(chunk.size());
            deflate(&z, done == size ? Z_FINISH : Z_NO_FLUSH);
            out.append(reinterpret_cast<char *>(chunk.data()),
                       static_cast<int>(chunk.size() - z.avail_out));
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    return out;
}

inline QString CaptureText(const Helper &helper)
{
    const StackCapture capture = CaptureStacks(static_cast<unsigned long>(helper.pid()));
    return capture.ok ? AsShown(FormatCapture(capture)) : FailureText(capture);
}

// The helper's own process: inside a PID namespace, the child that unshare started.
inline qint64 TargetOf(const Helper &helper, bool inNamespace)
{
    if (!inNamespace)
        return helper.pid();
    QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(helper.pid()));
    return children.open(QIODevice::ReadOnly) ? children.readAll().trimmed().toLongLong() : 0;
}

// n copies of a small library, each calling the next one's norva_chain, with a debug file of its
// own beside each: made with the options keep, then changed with change where given.
inline bool BuildChain(const QString &dir, int n, const QStringList &keep = {},
                       const QStringList &change = {})
{
    QFile source(dir + QStringLiteral("/chain.c"));
    if (!source.open(QIODevice::WriteOnly))
        return false;
    source.write(
        "#include <unistd.h>\n"
        "typedef void (*chain_fn)(void *const *, int, int);\n"
        "void norva_chain(void *const *fns, int i, int n)\n"
        "{\n"
        "    if (i + 1 < n) ((chain_fn)fns[i + 1])(fns, i + 1, n);\n"
        "    else for (;;) pause();\n"
        "    __asm__ volatile(\"\");\n" // not a tail call: every library stays on the stack
        "}\n");
    source.close();
    const QString built = dir + QStringLiteral("/chain.so");
    if (!Tool("cc", {"-shared", "-fPIC", "-g", "-O1", "-o", built, source.fileName()}))
        return false;
    for (int i = 0; i < n; ++i) {
        const QString stem = dir + QStringLiteral("/lib%1").arg(i);
        if (!Tool("objcopy",
                  QStringList{"--only-keep-debug"} + keep + QStringList{built, stem + ".debug"}) ||
            (!change.isEmpty() && !Tool("objcopy", change + QStringList{stem + ".debug"})) ||
            !Tool("objcopy",
                  {"--strip-debug", "--add-gnu-debuglink=" + stem + ".debug", built, stem + ".so"}))
            return false;
    }
    return true;
}

// Runs norva-capture-cli on pid (as the user that command names first, when it does), within
// a deadline: the text, or "(no answer)" when it did not return.
inline QString CaptureByCli(qint64 pid, const QStringList &as = {})
{
    QProcess viewer;
    const QStringList command = as + QStringList{NORVA_CAPTURE_CLI, QString::number(pid)};
    viewer.start(command.first(), command.mid(1));
    if (!viewer.waitForFinished(20000)) {
        viewer.kill();
        viewer.waitForFinished(5000);
        return QStringLiteral("(no answer)");
    }
    return AsShown(QString::fromUtf8(viewer.readAllStandardOutput()));
}
