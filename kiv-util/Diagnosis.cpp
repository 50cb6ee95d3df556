#include "Diagnosis.h"

#include <QDataStream>

namespace {

// The facts that make two threads show as one, as bytes to compare and hash.
QByteArray GroupKey(const ThreadStack &thread)
{
    QByteArray key;
    QDataStream out(&key, QIODevice::WriteOnly);
    out << thread.frames.size();
    for (const StackFrame &frame : thread.frames)
        out << quint64(frame.pc);
    out << int(thread.walkEnd) << thread.walkError << quint64(thread.walkAddress)
        << int(thread.leftOut) << thread.error << thread.busyWith.id << thread.busyWith.name
        << thread.kernelStack << int(thread.state) << thread.waitChannel << int(thread.lockKind)
        << quint64(thread.lockAddress) << thread.lockOwner << thread.recordedOwner
        << thread.lockRefused << thread.lockUnknown << thread.omittedFrames << thread.omittedAt;
    return key;
}

} // namespace

QHash<long long, const ThreadStack *> ThreadsById(const QVector<ThreadStack> &threads)
{
    QHash<long long, const ThreadStack *> byTid;
    for (const ThreadStack &thread : threads)
        byTid.insert(thread.tid, &thread);
    return byTid;
}

QVector<ThreadGroup> GroupThreads(const QVector<ThreadStack> &threads)
{
    QVector<ThreadGroup> groups;
    QHash<QByteArray, int> groupOf;
    for (const ThreadStack &thread : threads) {
        auto it = groupOf.find(GroupKey(thread));
        if (it == groupOf.end()) {
            it = groupOf.insert(GroupKey(thread), groups.size());
            groups.push_back({});
        }
        groups[*it].push_back(&thread);
    }
    return groups;
}

QVector<ThreadGroup> FindDeadlocks(const QVector<ThreadStack> &threads)
{
    // Each thread waits for at most one lock, so following the owners from any thread either
    // ends or runs into a cycle.
    const QHash<long long, const ThreadStack *> byTid = ThreadsById(threads);
    QVector<ThreadGroup> cycles;
    QHash<long long, int> walk; // thread id -> the walk that first reached it
    for (int start = 0; start < threads.size(); ++start) {
        ThreadGroup path;
        const ThreadStack *at = &threads[start];
        while (at && !walk.contains(at->tid)) {
            walk.insert(at->tid, start);
            path.push_back(at);
            at = at->lockOwner ? byTid.value(at->lockOwner) : nullptr;
        }
        // A cycle only when this walk ran into itself.
        if (!at || walk.value(at->tid) != start)
            continue;
        cycles.push_back(path.mid(path.indexOf(at)));
    }
    return cycles;
}

int CountLockWaits(const QVector<ThreadStack> &threads)
{
    int waiting = 0;
    for (const ThreadStack &thread : threads)
        waiting += thread.lockKind != LockKind::None;
    return waiting;
}
