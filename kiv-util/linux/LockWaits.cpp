#include "LockWaits.h"

#include <QHash>
#include <QSet>
#include <linux/futex.h>

#ifndef FUTEX_LOCK_PI2
#define FUTEX_LOCK_PI2 13 // Linux 5.14; older headers lack it
#endif

FutexRole RoleInFutexWait(QString function)
{
    if (function.startsWith(QLatin1String("__GI_"))) // the library's internal alias
        function.remove(0, 5);
    static const QHash<QString, FutexRole> kRoles = {
        {QStringLiteral("__lll_lock_wait"), FutexRole::MutexLock},
        {QStringLiteral("pthread_mutex_lock"), FutexRole::MutexLock},
        {QStringLiteral("___pthread_mutex_lock"), FutexRole::MutexLock},
        {QStringLiteral("__pthread_mutex_lock"), FutexRole::MutexLock},
        {QStringLiteral("__pthread_mutex_lock_full"), FutexRole::MutexLock},
        {QStringLiteral("pthread_mutex_timedlock"), FutexRole::MutexLock},
        {QStringLiteral("___pthread_mutex_timedlock"), FutexRole::MutexLock},
        {QStringLiteral("__pthread_mutex_timedlock"), FutexRole::MutexLock},
        {QStringLiteral("pthread_mutex_clocklock"), FutexRole::MutexLock},
        {QStringLiteral("___pthread_mutex_clocklock"), FutexRole::MutexLock},
        {QStringLiteral("__pthread_mutex_clocklock_common"), FutexRole::MutexLock},
        {QStringLiteral("__pthread_mutex_cond_lock"), FutexRole::MutexLock},
        {QStringLiteral("__pthread_mutex_cond_lock_full"), FutexRole::MutexLock},
        {QStringLiteral("lll_mutex_lock_optimized"), FutexRole::MutexLock},
        {QStringLiteral("syscall"), FutexRole::Plumbing},
        {QStringLiteral("futex_wait"), FutexRole::Plumbing},
        {QStringLiteral("__futex_abstimed_wait_common"), FutexRole::Plumbing},
        {QStringLiteral("__futex_abstimed_wait_common64"), FutexRole::Plumbing},
        // tail calls the debug information puts back
        {QStringLiteral("__futex_abstimed_wait64"), FutexRole::Plumbing},
        {QStringLiteral("__futex_abstimed_wait_cancelable64"), FutexRole::Plumbing},
        {QStringLiteral("futex_lock_pi64"), FutexRole::Plumbing},
        {QStringLiteral("__futex_lock_pi64"), FutexRole::Plumbing},
        {QStringLiteral("__lll_clocklock_wait"), FutexRole::Plumbing},
    };
    return kRoles.value(function, FutexRole::None);
}

bool LocksMutex(const QVector<StackFrame> &frames)
{
    for (int i = 0; i < frames.size() && i < 12; ++i) {
        const QString &function = frames[i].function;
        const FutexRole role = RoleInFutexWait(function);
        if (role == FutexRole::MutexLock)
            return true;
        if (!function.isEmpty() && role == FutexRole::None)
            return false;
    }
    return false;
}

long long MutexOwner(uint64_t futexOp, const uint32_t (&words)[arch::kMutexWords])
{
    const uint64_t op = futexOp & FUTEX_CMD_MASK;
    if (op == FUTEX_LOCK_PI || op == FUTEX_LOCK_PI2)
        return words[0] & FUTEX_TID_MASK;
    return static_cast<int32_t>(words[arch::kMutexOwnerWord]);
}

bool OwnerConsistent(uint64_t futexOp, const uint32_t (&words)[arch::kMutexWords])
{
    const uint64_t op = futexOp & FUTEX_CMD_MASK;
    if (op == FUTEX_LOCK_PI || op == FUTEX_LOCK_PI2)
        return (words[0] & FUTEX_TID_MASK) != 0;
    return words[0] != 0 && static_cast<int32_t>(words[arch::kMutexOwnerWord]) > 0;
}

bool Parked(const HeldThread &copy)
{
    const uint64_t op = arch::SyscallArg1(copy.regs) & FUTEX_CMD_MASK;
    return (op == FUTEX_WAIT || op == FUTEX_WAIT_BITSET) && arch::SyscallArg2(copy.regs) == 0 &&
           copy.lockWords[0] == 0;
}

void DescribeLock(const HeldThread &copy, const QSet<long long> &tids,
                  const QHash<long long, long long> &nsTids, ThreadStack *thread)
{
    if (!copy.copied() || !copy.lockWordsRead || !LocksMutex(thread->frames))
        return;
    thread->lockKind = LockKind::Mutex;
    const uint64_t futex = arch::SyscallArg0(copy.regs);
    const uint64_t op = arch::SyscallArg1(copy.regs);
    if (Parked(copy)) {
        thread->lockRefused = true;
        return;
    }
    thread->lockAddress = futex;
    long long owner = MutexOwner(op, copy.lockWords);
    if (owner <= 0 || !OwnerConsistent(op, copy.lockWords))
        return;
    if (!nsTids.isEmpty())
        owner = nsTids.value(owner);
    if (tids.contains(owner))
        thread->lockOwner = owner; // itself, when it waits for a lock it holds
    else if (owner > 0)
        thread->recordedOwner = owner;
}
