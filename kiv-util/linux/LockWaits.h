#pragma once
// Which threads asleep on a futex wait for a mutex, and which thread holds it: from the C
// library's functions on their stacks and the words at the futex.
#include "CaptureModel.h"
#include "TargetHold.h"

#include <QHash>
#include <QSet>
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

// The C library parks a thread whose priority-inheritance lock the system refused on a word of
// its own that stays 0, waiting for it to be anything else: that word is no mutex (a mutex
// waiter waits while its lock word shows it locked).
bool Parked(const HeldThread &copy);

// The lock a thread asleep on a futex in the C library's mutex lock path (its named frames say
// so) waits for, and who holds it: a thread of tids, the target's own numbering translated
// through nsTids where it has one of its own (a container; an owner that does not translate is
// not named), or none; a parked thread's lock was refused. Nothing for any other thread.
void DescribeLock(const HeldThread &copy, const QSet<long long> &tids,
                  const QHash<long long, long long> &nsTids, ThreadStack *thread);
