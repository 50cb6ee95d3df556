#pragma once
// What a capture means beyond its stacks: which threads are alike, and which wait for each
// other. Pure functions of the model.
#include "CaptureModel.h"

#include <QHash>

using ThreadGroup = QVector<const ThreadStack *>;

// Threads that show as one (the same frames, walk end, reason, state, wait channel and lock),
// in the order of each group's first thread.
QVector<ThreadGroup> GroupThreads(const QVector<ThreadStack> &threads);

// Every cycle of "waits for a lock held by", each in the order the waits go round, starting
// from the thread that comes first in threads. A thread waiting for a lock it holds itself is
// a cycle of one.
QVector<ThreadGroup> FindDeadlocks(const QVector<ThreadStack> &threads);

// How many threads wait for a lock.
int CountLockWaits(const QVector<ThreadStack> &threads);

QHash<long long, const ThreadStack *> ThreadsById(const QVector<ThreadStack> &threads);
