// The capture library's pure logic on made-up captures: grouping, deadlock cycles and the text,
// with no process started.
#include <QTextDocument>
#include <gtest/gtest.h>

#include "Diagnosis.h"
#include "Frames.h"
#include "StackCapture.h"

namespace {

ThreadStack Thread(long long tid, const char *name, QVector<uint64_t> pcs = {0x1000, 0x2000},
                   long long waitsFor = 0)
{
    ThreadStack thread;
    thread.tid = tid;
    thread.name = QString::fromUtf8(name);
    for (uint64_t pc : pcs) {
        StackFrame frame;
        frame.pc = pc;
        thread.frames.push_back(frame);
    }
    thread.state = ThreadState::Sleeping;
    if (waitsFor) {
        thread.lockKind = LockKind::Mutex;
        thread.lockAddress = 0x5000 + static_cast<uint64_t>(tid);
        thread.lockOwner = waitsFor;
    }
    return thread;
}

QVector<long long> Ids(const ThreadGroup &group)
{
    QVector<long long> ids;
    for (const ThreadStack *thread : group)
        ids << thread->tid;
    return ids;
}

QString Shown(const StackCapture &capture)
{
    QTextDocument document;
    document.setHtml(FormatCapture(capture));
    return document.toPlainText();
}

// Every cycle once, in the order its waits go round; a chain that ends is none.
TEST(Diagnosis, DeadlockCyclesOfOneTwoAndThreeThreads)
{
    struct Case {
        const char *what;
        QVector<ThreadStack> threads;
        QVector<QVector<long long>> cycles;
    };
    const Case cases[] = {
        {"none: a chain that ends",
         {Thread(1, "a", {}, 2), Thread(2, "b", {}, 3), Thread(3, "c")},
         {}},
        {"two", {Thread(1, "a", {}, 2), Thread(2, "b", {}, 1), Thread(3, "c", {}, 1)}, {{1, 2}}},
        {"three, entered from a waiter outside it",
         {Thread(9, "w", {}, 5), Thread(5, "x", {}, 6), Thread(6, "y", {}, 7),
          Thread(7, "z", {}, 5)},
         {{5, 6, 7}}},
        {"one: a thread waiting for its own lock", {Thread(4, "self", {}, 4)}, {{4}}},
        {"an owner that is not in the capture", {Thread(1, "a", {}, 77)}, {}},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.what);
        QVector<QVector<long long>> found;
        for (const ThreadGroup &cycle : FindDeadlocks(test.threads))
            found << Ids(cycle);
        EXPECT_EQ(found, test.cycles);
    }
}

// Threads show as one only where every fact agrees, in the order of their first thread.
TEST(Diagnosis, GroupsCompareFactsNotWords)
{
    QVector<ThreadStack> threads = {Thread(10, "w"), Thread(11, "w"), Thread(12, "w"),
                                    Thread(13, "w"), Thread(14, "w"), Thread(15, "w")};
    threads[1].state = ThreadState::Running;
    threads[3].frames[1].pc = 0x2001;
    threads[4].leftOut = LeftOut::Refused;
    threads[4].error = 1;
    threads[5].leftOut = LeftOut::Refused;
    threads[5].error = 3; // another reason, though both "could not be stopped"
    QVector<QVector<long long>> groups;
    for (const ThreadGroup &group : GroupThreads(threads))
        groups << Ids(group);
    EXPECT_EQ(groups, (QVector<QVector<long long>>{{10, 12}, {11}, {13}, {14}, {15}}));
}

// Names are shown as they are (markup and Qt's place markers alike), the summary counts, and a
// deadlock opens the text with each thread, its lock and the holder.
TEST(Diagnosis, TextShowsNamesAsTheyAreAndDeadlocksFirst)
{
    StackCapture capture;
    capture.ok = true;
    capture.pid = 42;
    capture.processName = QStringLiteral("%2 <b>&amp;%1");
    capture.stoppedMs = 1.5;
    capture.threads = {Thread(42, "%2 <b>&amp;%1"), Thread(43, "norva-abba-a", {0x3000}, 44),
                       Thread(44, "norva-abba-b", {0x3000}, 43)};
    const QStringList lines = Shown(capture).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_GE(lines.size(), 6);
    EXPECT_EQ(lines[0], QStringLiteral("Process 42 %2 <b>&amp;%1 \u2014 3 threads, 3 distinct "
                                       "stacks, 2 waiting on locks, stopped for 1.50 ms"));
    EXPECT_EQ(lines[1], QStringLiteral("Deadlock: 2 threads wait for each other"));
    EXPECT_EQ(lines[2], QStringLiteral("Thread 43 norva-abba-a waits for mutex 0x000000000000502b "
                                       "held by thread 44 norva-abba-b"));
    EXPECT_EQ(lines[4], QStringLiteral("Thread 42 %2 <b>&amp;%1 \u2014 sleeping"));

    capture.ok = false;
    capture.failure.kind = Failure::AlreadyTraced;
    capture.failure.other = {7, QStringLiteral("%1 strace")};
    EXPECT_TRUE(Shown(capture).contains(
        QStringLiteral("Process 42 (%2 <b>&amp;%1) is already being traced by process 7 (%1 "
                       "strace);")));
}

// A frame with calls inlined at its address shows one frame for each, innermost first, then its
// own at the outermost call; the frame limit counts what is shown, and a deeper stack keeps its
// innermost frames and its outermost ones (main last), numbered as in the whole stack. Each frame
// is named by the address it carries, whichever thread it is in and whatever order the threads
// stand in.
TEST(Frames, InlinedCallsBecomeFramesWithinTheLimit)
{
    struct Case {
        int unwound; // the last of them is main's, without inlined calls
        int shown;
        int omitted;
        bool limit;
    } cases[] = {{3, 9, 0, false},
                 {kStackFrameLimit / 4, kStackFrameLimit - 3, 0, false},
                 {kStackFrameLimit / 4 + 1, kStackFrameLimit, 1, false},
                 {100000, kStackFrameLimit, 4 * 99999 + 1 - kStackFrameLimit, false},
                 {kWalkLimit + 5, kStackFrameLimit, 4 * kWalkLimit - kStackFrameLimit, true}};
    for (const Case &test : cases) {
        // Threads 3, 1 and 2, in that order; thread t's frames are at 0x1000 * t.
        StackCapture capture;
        for (long long tid : {3, 1, 2}) {
            ThreadStack thread = Thread(tid, "t", {});
            const uint64_t pc = 0x1000 * static_cast<uint64_t>(tid);
            for (int i = 0; i < test.unwound; ++i)
                AddFrame(&thread, i + 1 < test.unwound ? pc : pc + 0x800,
                         (i + 1 < test.unwound ? pc : pc + 0x800) - 1);
            capture.threads << thread;
        }
        QHash<uint64_t, CodeSymbol> cache;
        ResolveFrames(&capture, &cache, [](uint64_t address) {
            const QString t = QString::number((address + 1) / 0x1000);
            CodeSymbol symbol;
            symbol.start = address - 0x10;
            if ((address + 1) % 0x1000 == 0x800) {
                symbol.function = QStringLiteral("main") + t;
                return symbol;
            }
            symbol.function = QStringLiteral("outer") + t;
            symbol.file = QStringLiteral("outer.cpp");
            symbol.line = 7;
            symbol.inlined = {{QStringLiteral("inner") + t, QStringLiteral("a.h"), 1},
                              {QStringLiteral("middle"), QStringLiteral("b.h"), 2},
                              {QStringLiteral("mid2"), QStringLiteral("c.h"), 3}};
            return symbol;
        });
        for (const ThreadStack &thread : capture.threads) {
            const QString t = QString::number(thread.tid);
            ASSERT_EQ(thread.frames.size(), test.shown) << test.unwound;
            EXPECT_EQ(thread.omittedFrames, test.omitted) << test.unwound;
            EXPECT_EQ(thread.omittedAt, test.omitted ? kStackFrameLimit - kOutermostShown : -1);
            EXPECT_EQ(thread.walkEnd == WalkEnd::FrameLimit, test.limit);
            EXPECT_TRUE(thread.frames[0].inlined && thread.frames[0].function == "inner" + t &&
                        thread.frames[0].line == 1 && thread.frames[0].offset == 0);
            EXPECT_TRUE(!thread.frames[3].inlined && thread.frames[3].function == "outer" + t &&
                        thread.frames[3].file == "outer.cpp" && thread.frames[3].offset == 0x11);
            // Unless the walk was cut off, main is the last frame shown, after whole calls.
            EXPECT_EQ(thread.frames.last().function, (test.limit ? "outer" : "main") + t);
            EXPECT_EQ(thread.frames[thread.frames.size() - 2].function,
                      test.limit ? QStringLiteral("mid2") : "outer" + t);
        }
        EXPECT_EQ(cache.size(), test.limit ? 3 : 6) << "two addresses a thread, named once";
    }
}

} // namespace
