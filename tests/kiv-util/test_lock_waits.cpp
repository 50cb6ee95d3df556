// Whose mutex a thread asleep on a futex waits for: roles of the C library's functions, owners
// from the lock words, parked threads, containers.
#include <gtest/gtest.h>
#include <linux/futex.h>

#include "LockWaits.h"
#include "Wording.h"

#include <array>

namespace {

QVector<StackFrame> Frames(const QStringList &functions)
{
    QVector<StackFrame> frames;
    for (const QString &function : functions) {
        StackFrame frame;
        frame.function = function;
        frames << frame;
    }
    return frames;
}

// Only the mutex lock path names an owner; the owner is the lock word for a PI mutex.
TEST(LockWaits, FutexRolesAndOwners)
{
    const struct {
        QStringList functions;
        bool locksMutex;
    } stacks[] = {
        {{"__futex_abstimed_wait_common", "", "__GI___lll_lock_wait", "main"}, true},
        {{"syscall", "pthread_mutex_lock"}, true},
        {{"__futex_abstimed_wait_common", "pthread_cond_wait", "__pthread_mutex_lock"}, false},
        {{"", ""}, false},
    };
    for (const auto &stack : stacks)
        EXPECT_EQ(LocksMutex(Frames(stack.functions)), stack.locksMutex)
            << stack.functions.join(' ').toStdString();

    const uint32_t words[arch::kMutexWords] = {0x80000000u | 1234u, 1, 5678, 0};
    EXPECT_EQ(MutexOwner(FUTEX_WAIT | FUTEX_PRIVATE_FLAG, words), 5678);
    EXPECT_EQ(MutexOwner(FUTEX_LOCK_PI | FUTEX_PRIVATE_FLAG, words), 1234);
}

// Whose mutex a sleeping thread waits for: from the futex call in its registers and the words
// read at the futex. The owner is named only where the words agree and it is a live thread of
// the process, in our numbering.
TEST(LockWaits, OwnersParkedThreadsAndContainers)
{
    const struct {
        const char *what;
        uint64_t op, expected;
        std::array<uint32_t, arch::kMutexWords> words;
        QHash<long long, long long> nsTids;
        long long owner, recorded;
        bool refused;
    } cases[] = {
        {"a locked mutex", FUTEX_WAIT_PRIVATE, 2, {2, 0, 11, 1}, {}, 11, 0, false},
        {"unlocked words name nobody", FUTEX_WAIT_PRIVATE, 2, {0, 0, 11, 1}, {}, 0, 0, false},
        {"an owner that is no live thread", FUTEX_WAIT_PRIVATE, 2, {2, 0, 99, 1}, {}, 0, 99, false},
        {"a PI lock word names the owner",
         FUTEX_LOCK_PI,
         0,
         {0x80000000u | 12, 0, 12, 1},
         {},
         12,
         0,
         false},
        {"a PI word without an owner", FUTEX_LOCK_PI, 0, {0x80000000u, 0, 12, 1}, {}, 0, 0, false},
        {"a container's numbering", FUTEX_WAIT_PRIVATE, 2, {2, 0, 5, 1}, {{5, 11}}, 11, 0, false},
        {"an owner outside the container",
         FUTEX_WAIT_PRIVATE,
         2,
         {2, 0, 6, 1},
         {{5, 11}},
         0,
         0,
         false},
        {"parked after a refused PI lock", FUTEX_WAIT_PRIVATE, 0, {0, 0, 0, 0}, {}, 0, 0, true},
    };
    const QSet<long long> tids = {10, 11, 12};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        HeldThread copy;
        copy.outcome = tracer::Outcome::Copied;
        copy.regs.orig_rax = arch::kFutexCall;
        copy.regs.rdi = 0x5000;
        copy.regs.rsi = c.op;
        copy.regs.rdx = c.expected;
        copy.lockWordsRead = true;
        std::copy(c.words.begin(), c.words.end(), copy.lockWords);
        ThreadStack thread;
        thread.tid = 10;
        thread.frames = Frames({"__lll_lock_wait", "pthread_mutex_lock"});
        DescribeLock(copy, tids, c.nsTids, &thread);
        EXPECT_EQ(thread.lockOwner, c.owner);
        EXPECT_EQ(thread.recordedOwner, c.recorded);
        EXPECT_EQ(thread.lockRefused, c.refused);
        EXPECT_EQ(Parked(copy), c.refused);
        if (c.refused) {
            EXPECT_EQ(LockWaitText(thread, nullptr, 16),
                      QStringLiteral("waits for a mutex that the system refused to give it (a "
                                     "deadlock through priority-inheritance mutexes, or an owner "
                                     "that died); it waits for ever"));
        }
    }
}

} // namespace
