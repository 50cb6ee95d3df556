#pragma once
// Small helpers for tests that start and watch real processes (Linux).
#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QThread>
#include <csignal>
#include <functional>
#include <sys/types.h>

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

inline bool ProcessAlive(qint64 pid)
{
    return pid > 0 && ::kill(static_cast<pid_t>(pid), 0) == 0;
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
