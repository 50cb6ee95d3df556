// Lock waits: the thread holding the mutex a thread waits for, deadlocks first.

#include "CaptureHelpers.h"
#include "DebugFiles.h"

namespace {

// Threads waiting for a mutex name its owner, in a container's numbering too; a deadlock opens
// the text, a thread that locks its own mutex included; a thread waiting on a condition variable
// names nobody; a lock the system refused claims no mutex.
TEST(StackCapture, LockWaitsNameTheThreadHoldingTheLock)
{
    struct Case {
        const char *mode;
        bool inNamespace;
        QVector<QPair<QString, QString>> waits; // thread name -> name of the lock's owner
        const char *deadlock;                   // how the text opens, or null
        const char *refused;                    // a thread whose lock was refused
    };
    const Case cases[] = {
        {"abba",
         false,
         {{"norva-abba-a", "norva-abba-b"}, {"norva-abba-b", "norva-abba-a"}},
         "Deadlock: 2 threads wait for each other",
         nullptr},
        {"abba",
         true,
         {{"norva-abba-a", "norva-abba-b"}, {"norva-abba-b", "norva-abba-a"}},
         "Deadlock: 2 threads wait for each other",
         nullptr},
        {"owner",
         false,
         {{"norva-waiter", "norva-holder"}, {"norva-holder", ""}, {"norva-cond", ""}},
         nullptr,
         nullptr},
        {"self",
         false,
         {{"norva-self", "norva-self"}},
         "Deadlock: a thread waits for a lock it",
         nullptr},
        {"pi",
         false,
         {{"norva-pi-a", "norva-pi-b"}, {"norva-pi-b", "norva-pi-c"}, {"norva-pi-c", ""}},
         nullptr,
         "norva-pi-c"},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(std::string(test.mode) + (test.inNamespace ? " in a PID namespace" : ""));
        if (test.inNamespace && geteuid() != 0)
            continue; // a PID namespace of its own needs root
        const QStringList unshare = {"unshare", "-pf", "--kill-child", NORVA_STACK_HELPER};
        Helper helper(0, {QString::fromLatin1(test.mode)},
                      test.inNamespace ? unshare : QStringList{NORVA_STACK_HELPER});
        const StackCapture capture =
            CaptureStacks(static_cast<unsigned long>(TargetOf(helper, test.inNamespace)));
        ASSERT_TRUE(capture.ok) << FailureText(capture).toStdString();
        QHash<long long, QString> names;
        for (const ThreadStack &thread : capture.threads)
            names.insert(thread.tid, thread.name);
        for (const auto &wait : test.waits) {
            int seen = 0;
            for (const ThreadStack &thread : capture.threads) {
                if (thread.name != wait.first)
                    continue;
                ++seen;
                EXPECT_EQ(names.value(thread.lockOwner), wait.second)
                    << wait.first.toStdString() << " "
                    << LockKindText(thread.lockKind).toStdString();
                const bool refused = test.refused && wait.first == QLatin1String(test.refused);
                EXPECT_EQ(thread.lockRefused, refused) << wait.first.toStdString();
                if (refused) {
                    EXPECT_EQ(thread.lockAddress, 0u) << "the word it parks on is no mutex";
                }
            }
            EXPECT_GT(seen, 0) << wait.first.toStdString();
        }
        const QString shown = AsShown(FormatCapture(capture));
        const QStringList lines = shown.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        ASSERT_GT(lines.size(), 2);
        EXPECT_EQ(lines[1].startsWith(QLatin1String(test.deadlock ? test.deadlock : "Deadlock")),
                  test.deadlock != nullptr)
            << shown.left(600).toStdString();
        if (QLatin1String(test.mode) == QLatin1String("owner")) {
            EXPECT_TRUE(shown.contains(QStringLiteral("\n3 threads: norva-waiter ")))
                << shown.toStdString();
        }
    }
}

} // namespace
