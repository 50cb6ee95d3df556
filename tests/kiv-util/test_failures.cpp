// The capture's decisions on what was read: whether a process can be captured, what a hold that
// took nothing means, how the code changed, and when a capture is tried again.
#include <gtest/gtest.h>

#include "Failures.h"
#include "Wording.h"

namespace {

ProcessFacts Facts(const char *status)
{
    ProcessFacts facts;
    facts.requested = 77;
    facts.pid = 77;
    facts.status = ParseStatus(status);
    facts.viewer = 1000;
    facts.viewerUid = 1000;
    return facts;
}

// Whether a process can be captured at all, what a hold that took nothing means, and how the
// code changed during the hold: decisions on facts read once.
TEST(Failures, DecisionsOnWhatWasRead)
{
    const char *running = "Name:\tprog\nState:\tS (sleeping)\nTgid:\t77\nTracerPid:\t0\n"
                          "Uid:\t1000\t1000\t1000\t1000\nThreads:\t4\n";
    ProcessFacts gone = Facts("");
    gone.status.error = ENOENT;
    ProcessFacts unreadable = Facts("");
    unreadable.status.error = EMFILE;
    ProcessFacts self = Facts(running);
    self.viewer = 77;
    ProcessFacts kernel = Facts(running);
    kernel.stat = ParseStat("77 (k) S 2 0 0 0 -1 2097216 0");
    ProcessFacts zombie = Facts("Name:\tz\nState:\tZ (zombie)\nTgid:\t77\nThreads:\t1\n");
    ProcessFacts tracing = Facts(running);
    tracing.viewerTracer = 77;
    ProcessFacts traced = Facts("Name:\tprog\nState:\tt (tracing stop)\nTgid:\t77\n"
                                "TracerPid:\t5\nUid:\t1000\nThreads:\t1\n");
    traced.tracer = {5, QStringLiteral("gdb")};
    ProcessFacts other = Facts(running);
    other.status.uid = 0;
    ProcessFacts secret = Facts(running);
    secret.statusOfRoot = true;
    ProcessFacts scope = Facts(running);
    scope.ptraceScope = 2;
    const struct {
        const ProcessFacts &facts;
        Failure classified, refused;
        const char *words;
    } cases[] = {
        {gone, Failure::NoProcess, Failure::NotPermitted, "There is no process with id 77."},
        {unreadable, Failure::ProcUnreadable, Failure::NotPermitted, "cannot be read"},
        {self, Failure::Self, Failure::NotPermitted, "is this viewer itself"},
        {kernel, Failure::KernelThread, Failure::NotPermitted, "is a kernel thread"},
        {zombie, Failure::Zombie, Failure::NotPermitted, "is a zombie"},
        {tracing, Failure::TracingViewer, Failure::NotPermitted, "is tracing this viewer"},
        {traced, Failure::AlreadyTraced, Failure::NotPermitted,
         "already being traced by process 5 (gdb)"},
        {other, Failure::None, Failure::OtherUser, "belongs to another user (uid 0)"},
        {secret, Failure::None, Failure::NotDumpable, "non-dumpable"},
        {scope, Failure::None, Failure::PtraceScope, "ptrace_scope is 2"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.words);
        StackCapture capture;
        capture.pid = 77;
        capture.processName = c.facts.status.name;
        capture.failure = Classify(c.facts);
        EXPECT_EQ(capture.failure.kind, c.classified);
        if (c.classified == Failure::None)
            capture.failure = PermissionFailure(c.facts);
        EXPECT_EQ(PermissionFailure(c.facts).kind, c.refused);
        EXPECT_TRUE(FailureText(capture).contains(QLatin1String(c.words)))
            << FailureText(capture).toStdString();
    }

    // A hold that took no thread: ended, another program, another capture, or permission.
    HoldResult hold;
    EXPECT_EQ(ExplainHold(hold, other, Facts(running)).kind, Failure::OtherUser);
    EXPECT_EQ(ExplainHold(hold, other, gone).kind, Failure::EndedBeforeStop);
    hold.threads.push_back({});
    hold.threads.back().outcome = tracer::Outcome::Busy;
    EXPECT_EQ(ExplainHold(hold, other, gone).kind, Failure::AnotherCapture);
    hold.execed = true;
    EXPECT_EQ(ExplainHold(hold, other, gone).kind, Failure::StartedAnotherProgram);
    hold.threads.push_back({});
    hold.threads.back().outcome = tracer::Outcome::Copied;
    hold.execed = false;
    EXPECT_EQ(ExplainHold(hold, other, gone).kind, Failure::None);

    // The code during the hold, from the maps before and after it.
    MapsSnapshot before, library, program, none;
    before.entries = ParseMaps("1000-2000 r-xp 00000000 08:01 11 /bin/prog\n");
    library.entries = ParseMaps("1000-2000 r-xp 00000000 08:01 11 /bin/prog\n"
                                "5000-6000 r-xp 00000000 08:01 12 /lib/plugin.so\n");
    program.entries = ParseMaps("3000-4000 r-xp 00000000 08:01 13 /bin/other\n");
    EXPECT_EQ(ChangeDuringHold(before, before, Facts(running)), CodeChange::None);
    EXPECT_EQ(ChangeDuringHold(before, library, Facts(running)), CodeChange::Library);
    EXPECT_EQ(ChangeDuringHold(before, program, Facts(running)), CodeChange::AnotherProgram);
    EXPECT_EQ(ChangeDuringHold(before, none, gone), CodeChange::Ended);
}

// Which outcome of an attempt is tried again, how often, and after what wait: another tracer is
// waited for by the clock.
TEST(Failures, RetryPolicy)
{
    const auto summary = [](Stage stage, Failure failure, bool exists, CodeChange change,
                            bool busy) {
        AttemptSummary s;
        s.stage = stage;
        s.failure.kind = failure;
        s.stillExists = exists;
        s.change = change;
        s.heldByAnotherCapture = busy;
        return s;
    };
    const struct {
        AttemptSummary attempt;
        Retry retry;
        int allowed;
        Wait::Kind wait;
    } rows[] = {
        {summary(Stage::Examined, Failure::None, true, CodeChange::None, false), Retry::None, 0,
         Wait::Kind::None},
        {summary(Stage::Examined, Failure::Zombie, true, CodeChange::None, false), Retry::None, 0,
         Wait::Kind::None},
        {summary(Stage::Examined, Failure::AlreadyTraced, true, CodeChange::None, false),
         Retry::TracerLeaving, -1, Wait::Kind::Sleep},
        {summary(Stage::Reported, Failure::MapUnreadable, true, CodeChange::None, false),
         Retry::BetweenPrograms, 1, Wait::Kind::None},
        {summary(Stage::Reported, Failure::MapUnreadable, false, CodeChange::None, false),
         Retry::None, 0, Wait::Kind::None},
        {summary(Stage::Held, Failure::None, true, CodeChange::Library, false), Retry::CodeChanged,
         1, Wait::Kind::None},
        {summary(Stage::Held, Failure::None, true, CodeChange::None, true), Retry::AnotherCapture,
         1, Wait::Kind::UntilItsTracerLeaves},
        {summary(Stage::Held, Failure::None, true, CodeChange::Ended, false), Retry::None, 0,
         Wait::Kind::None},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(RetryFor(row.attempt), row.retry) << static_cast<int>(row.retry);
        EXPECT_EQ(WaitBefore(row.retry).kind, row.wait);
        if (row.allowed >= 0) {
            EXPECT_TRUE(row.allowed == 0 || RetryPolicy::Allows(row.retry, row.allowed - 1, 0));
            EXPECT_FALSE(RetryPolicy::Allows(row.retry, row.allowed, 0));
        }
    }
    const double limit = RetryPolicy::kTracerWaitMs;
    EXPECT_TRUE(RetryPolicy::Allows(Retry::TracerLeaving, 0, 0));
    EXPECT_TRUE(RetryPolicy::Allows(Retry::TracerLeaving, 1000, limit - 1));
    EXPECT_FALSE(RetryPolicy::Allows(Retry::TracerLeaving, 3, limit)) << "however few attempts";
    EXPECT_EQ(WaitBefore(Retry::TracerLeaving).ms, RetryPolicy::kTracerPollMs);
}

} // namespace
