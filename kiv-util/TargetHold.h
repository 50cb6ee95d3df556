#pragma once
// Linux: stops every thread of a process for as short a time as it can, copies what the
// unwinder needs from each (registers, the live part of the stack), and lets them all go again,
// whatever the threads are doing. Unwinding and naming happen afterwards, on the copies.
#include <QString>
#include <QStringList>
#include <cstdint>
#include <sys/user.h>
#include <vector>

struct CopiedThread {
    long long tid = 0;
    user_regs_struct regs = {};
    uint64_t stackStart = 0;    // address of stack[0]
    std::vector<uint8_t> stack; // from a little below the stack pointer upwards
};

// A thread that was not captured, and why, in words.
struct LeftThread {
    long long tid = 0;
    QString reason;
    QStringList kernelStack; // where a thread that would not stop waits, where readable
};

struct HoldResult {
    std::vector<CopiedThread> copied;
    std::vector<LeftThread> left;
    bool targetEnded = false; // the process died during the hold
    int seizeError = 0;       // errno of the first refused seize (not a vanished thread)
    double heldMs = 0;        // from the first stop asked for to the last thread let go
};

// Holds at most stopWithinMs waiting for threads to stop; threads that do not stop by then are
// left running and listed. Every thread is released on every path.
// maps is the text of /proc/PID/maps, read just before: stack copies end where their mapping
// does.
HoldResult HoldAndCopy(long long pid, const QByteArray &maps, int stopWithinMs);
