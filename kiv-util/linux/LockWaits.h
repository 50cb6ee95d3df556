#pragma once
// Which threads asleep on a futex wait for a mutex, and which thread holds it: from the C
// library's functions on their stacks and the words at the futex.
#include "CaptureModel.h"
#include "TargetHold.h"

#include <QHash>
#include <cstdint>

// What a function of the C library does in a futex wait: it locks a mutex, or it is plumbing
// beneath that which condition variables and semaphores use as well.
enum class FutexRole { None, MutexLock, Plumbing };
FutexRole RoleInFutexWait(QString function);

// Whether a thread asleep on a futex is in the C library's mutex lock path: a condition
// variable, a semaphore or a lock private to the library has no owner to name. Frames without
// a name are passed over.
bool LocksMutex(const QVector<StackFrame> &frames);

// The thread owning a mutex, from the futex operation the waiter sleeps in and the words at
// the futex: the lock word itself for a priority-inheritance mutex, else the owner field.
long long MutexOwner(uint64_t futexOp, const uint32_t (&words)[arch::kMutexWords]);

// Whether the lock words name their owner consistently: the mutex is locked, and a
// priority-inheritance lock word names the same thread as the owner field.
bool OwnerConsistent(uint64_t futexOp, const uint32_t (&words)[arch::kMutexWords]);

// Each copied thread's state at the stop, and for a thread waiting for a mutex, the thread of
// this process that holds it. nsTids: the target's own thread numbering to ours, where it
// numbers threads otherwise (a container); an owner that does not translate is not named.
void DescribeWaits(const HoldResult &hold, const QHash<long long, long long> &nsTids,
                   StackCapture *capture);
