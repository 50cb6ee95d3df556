#pragma once
// Small helpers for tests that start and watch real processes.
#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QThread>
#include <functional>

#if defined(_WIN32)
#include <windows.h>
#else
#include <csignal>
#include <sys/types.h>
#endif

// Deadlines for what a loaded two-core machine does slowly: a start of a program, a daemon's
// first lines. A restart of the launcher is the behaviour itself ("within about a second"), so
// it keeps a bound, with room for load; Wine starts a process in up to half a second more.
constexpr int kStartMs = 15000;
#if defined(_WIN32)
constexpr int kRestartMs = 5000;
#else
constexpr int kRestartMs = 3000;
#endif

// Polls cond every 10 ms until it holds or timeoutMs passes.
inline bool WaitFor(const std::function<bool()> &cond, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!cond()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QThread::msleep(10);
    }
    return true;
}

// Pids recorded by the stand-in launcher (first field of each line of its log).
inline QList<qint64> LoggedPids(const QString &logPath)
{
    QList<qint64> pids;
    QFile file(logPath);
    if (!file.open(QIODevice::ReadOnly))
        return pids;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (!line.isEmpty())
            pids << line.split(' ').value(0).toLongLong();
    }
    return pids;
}

inline QList<QByteArray> LoggedLines(const QString &logPath)
{
    QFile file(logPath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<QByteArray> lines = file.readAll().split('\n');
    lines.removeAll(QByteArray());
    return lines;
}

#if defined(_WIN32)
inline bool ProcessAlive(qint64 pid)
{
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (!process)
        return false;
    const bool alive = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return alive;
}

// Ends a process at once, as SIGKILL or the task manager would.
inline void KillProcess(qint64 pid)
{
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (process) {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, 5000);
        CloseHandle(process);
    }
}
#else
inline bool ProcessAlive(qint64 pid)
{
    return pid > 0 && ::kill(static_cast<pid_t>(pid), 0) == 0;
}

inline void KillProcess(qint64 pid)
{
    if (pid > 0)
        ::kill(static_cast<pid_t>(pid), SIGKILL);
}
#endif

// A field of /proc/<pid>/status ("TracerPid:", "State:", ...), or of another file of that
// form ("io"), trimmed.
inline QByteArray StatusField(qint64 pid, const char *key, const char *name = "status")
{
    QFile file(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(name)));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray &line : file.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(int(qstrlen(key))).trimmed();
    return {};
}

// Reads the state letter of /proc/<pid>/stat ('Z' for a zombie); 0 when gone.
inline char ProcessState(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    const int close = text.lastIndexOf(')');
    return close > 0 && close + 2 < text.size() ? text.at(close + 2) : 0;
}
