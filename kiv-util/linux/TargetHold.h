#pragma once
// Stops every thread of a process for as short a time as it can, copies what the unwinder
// needs from each (registers, the live part of the stack), and lets them all go again,
// whatever the threads are doing. Unwinding and naming happen afterwards, on the copies.
//
// The tracing is done by a short-lived child process of ours, not by a thread: the target may
// itself be stopping this viewer's threads (two viewers capturing each other), and a tracer it
// cannot reach finishes all the same. When the child ends, the kernel lets go of every thread
// it still holds; the viewer kills a child that outlives its deadline.
#include "Arch.h"
#include "CaptureModel.h"
#include "Maps.h"
#include "StackCopy.h"
#include "TracerShared.h"

#include <QByteArray>
#include <QStringList>
#include <cstdint>
#include <vector>

// One thread as the hold found it: what the tracer saw (its outcome, registers, stack copy and
// the words of the futex it sleeps on) and, for one that did not stop or is a kernel worker,
// what /proc says of it after the hold. Every fact of a thread's heading is derived from this
// record, in one place (Threads).
struct HeldThread {
    long long tid = 0;
    // Copied: registers and stack are here. Ended: it ended during the capture (a copy that did
    // not fit the shared area counts so: it ended meanwhile). The others: why it was not taken.
    tracer::Outcome outcome = tracer::Outcome::Pending;
    int error = 0;         // errno of a refused seize
    ProcessRef tracer;     // Busy: the process whose tracer held it
    bool ioWorker = false; // KernelWorker: one of io_uring's
    arch::Registers regs = {};
    // From a little below the stack pointer upwards; its extent is the stack's mapping.
    StackCopy stack;
    bool jobStopped = false; // it was stopped (SIGSTOP and the like) before the hold
    // Asleep in the futex call: the first words at the futex address, read during the hold (for
    // a mutex: its lock word, count and owner). lockWordsRead is false otherwise.
    bool lockWordsRead = false;
    uint32_t lockWords[arch::kMutexWords] = {};
    QByteArray wchanBefore; // where it slept just before the hold, if it did
    QByteArray name;        // its name, read with the tracer's look at it (empty: not read)
    // Not stopped, or a kernel worker: where it is now.
    char stateAfter = 0;
    QByteArray wchanAfter;
    QStringList kernelStack;

    bool copied() const { return outcome == tracer::Outcome::Copied; }
};

struct HoldResult {
    std::vector<HeldThread> threads; // in the order the tracer found them
    bool targetEnded = false;        // the process died during the hold
    bool execed = false;             // a thread started another program during the hold
    bool tracerFailed = false; // the tracer could not be started or was killed at its deadline
    int tracerError = 0;       // errno of what kept the tracer from starting, 0 when it started
    int seizeError = 0;        // errno of the first refused seize (not a vanished thread)
    int lateStacks = 0;        // copied threads whose stacks the deadline left unread
    double heldMs = 0;         // from the first stop asked for to the last thread let go

    bool CopiedAny() const;
    // Another capture held every thread that was not taken: once it lets go, this one can.
    bool HeldByAnotherCapture() const;
};

// Holds at most stopWithinMs, from the first stop asked for to the last thread let go; threads
// that do not stop by then are left running and listed. Every thread is released on every
// path. Stack copies end where their mapping in maps does.
HoldResult HoldAndCopy(long long pid, const MapsSnapshot &maps, int stopWithinMs);
