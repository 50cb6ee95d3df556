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

struct CopiedThread {
    long long tid = 0;
    arch::Registers regs = {};
    // From a little below the stack pointer upwards; its extent is the stack's mapping.
    StackCopy stack;
    bool jobStopped = false; // it was stopped (SIGSTOP and the like) before the hold
    // A thread asleep in the futex call: the first words at the futex address, read during the
    // hold (for a mutex: its lock word, count and owner). lockWordsRead is false otherwise.
    bool lockWordsRead = false;
    uint32_t lockWords[arch::kMutexWords] = {};
    QByteArray wchan;    // where a thread asleep in a system call sleeps, read just before the hold
    bool asleep = false; // it was asleep in a system call at the stop
};

// A thread the hold did not copy, and why.
struct LeftThread {
    long long tid = 0;
    LeftOut why = LeftOut::Ended;
    int error = 0;
    ProcessRef tracer; // LeftOut::Busy
    char state = 0;    // LeftOut::NotStopped: where it was
    QByteArray wchan;
    QStringList kernelStack;
};

struct HoldResult {
    std::vector<CopiedThread> copied;
    std::vector<LeftThread> left;
    bool targetEnded = false;  // the process died during the hold
    bool execed = false;       // a thread started another program during the hold
    bool tracerFailed = false; // the tracer could not be started or was killed at its deadline
    int tracerError = 0;       // errno of what kept the tracer from starting, 0 when it started
    int seizeError = 0;        // errno of the first refused seize (not a vanished thread)
    int lateStacks = 0;        // copied threads whose stacks the deadline left unread
    double heldMs = 0;         // from the first stop asked for to the last thread let go
};

// Holds at most stopWithinMs, from the first stop asked for to the last thread let go; threads
// that do not stop by then are left running and listed. Every thread is released on every
// path. Stack copies end where their mapping in maps does.
HoldResult HoldAndCopy(long long pid, const MapsSnapshot &maps, int stopWithinMs);

// Why a thread the tracer did not copy has no stack: from what the tracer saw of it (its
// outcome, the seize's errno) and, for one that did not stop, its state now.
LeftOut LeftOutFor(tracer::Outcome outcome, int error, char stateNow);
