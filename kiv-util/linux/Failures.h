#pragma once
// The capture's decisions, as pure functions of what was read: whether a process can be
// captured at all, what a hold that took nothing means, how the code changed during the hold,
// and when a capture is tried again. The pipeline (Capture.cpp) reads; these decide.
#include "CaptureModel.h"
#include "Maps.h"
#include "ProcFiles.h"
#include "TargetHold.h"

// What /proc says of the process asked for, read once per attempt (LookAt in Capture.cpp).
struct ProcessFacts {
    unsigned long requested = 0;
    long long pid = 0; // the process (a thread id asked for names its process)
    ProcStatus status; // of pid
    StatFields stat;   // of pid
    ProcessRef tracer; // what holds it as its tracer, when status.tracer says one does
    bool thirtyTwoBit = false;
    long long viewer = 0;       // this viewer's process id
    long long viewerTracer = 0; // the process tracing this viewer, 0 when none
    long long viewerUid = 0;    // effective uid of this viewer
    bool statusOfRoot = false;  // its /proc files belong to root (a non-dumpable process)
    int ptraceScope = 0;        // kernel.yama.ptrace_scope, 0 when there is none
};

// Whether the process can be captured at all; Failure::None when it can. A process another
// tracer holds is Failure::AlreadyTraced: whether to wait for it is the retry policy's.
CaptureFailure Classify(const ProcessFacts &facts);

// Why tracing the process is not permitted, as far as can be told.
CaptureFailure PermissionFailure(const ProcessFacts &facts);

// A hold that captured nothing, or nothing that can be trusted, in facts; Failure::None when the
// capture goes on. now: the process as read after the hold.
CaptureFailure ExplainHold(const HoldResult &hold, const ProcessFacts &before,
                           const ProcessFacts &now);

// How the code of the process changed during the hold, from its map before and after it.
enum class CodeChange { None, Ended, AnotherProgram, Library };
CodeChange ChangeDuringHold(const MapsSnapshot &before, const MapsSnapshot &after,
                            const ProcessFacts &now);

// Why the walker could not take the process (mapsError: the error of reading its map, 0 when
// that was not the cause). now: the process as read after the failure.
CaptureFailure WalkerFailure(CaptureFailure failure, int mapsError, const ProcessFacts &now);

// When a capture is tried again, and how often, for each reason.
enum class Retry {
    None,
    TracerLeaving,   // another tracer holds the process: another capture lets go within 300 ms
    BetweenPrograms, // the process had no map (it is starting another program): once
    CodeChanged,     // a library was loaded or unloaded during the hold: once, then a note
    AnotherCapture,  // another capture held every thread: once, after it lets go
};
constexpr int kRetryReasons = static_cast<int>(Retry::AnotherCapture) + 1;

// How far an attempt got, and what it found there: all a retry is decided by.
enum class Stage { Examined, Reported, Held };
struct AttemptSummary {
    Stage stage = Stage::Examined;
    CaptureFailure failure;               // Examined, Reported: what kept it from going on
    bool stillExists = false;             // Reported: the process exists after the failure
    CodeChange change = CodeChange::None; // Held: how the code changed during the hold
    bool heldByAnotherCapture = false;    // Held: another capture held every thread
};
// The reason to try again that an attempt gives; Retry::None when its result stands.
Retry RetryFor(const AttemptSummary &attempt);

struct RetryPolicy {
    static constexpr int kTracerWaitMs = 300;
    static constexpr int kTracerPollMs = 5;
    // Whether an attempt that asks for why may be followed by another, times such attempts
    // (of this reason) having been made already, the first of them sinceFirstMs ago: another
    // tracer is waited for by the clock, the rest are counted.
    static bool Allows(Retry why, int times, double sinceFirstMs);
};

// What to do before trying again: nothing, sleep, or wait (up to ms) until the tracer that
// holds the process lets go.
struct Wait {
    enum class Kind { None, Sleep, UntilItsTracerLeaves } kind = Kind::None;
    int ms = 0;
};
Wait WaitBefore(Retry why);
