#pragma once
// The hold: every thread of the target suspended, its registers and its stack (from the stack
// pointer to the stack's base) copied, all resumed again, within a deadline. Walking and naming
// take DbgHelp tens of milliseconds a thread under Wine, so they run on the copies afterwards,
// with no word of a stack read from the live process.
#include "CaptureModel.h"
#include "Handle.h"
#include "StackCopy.h"

#include <QHash>
#include <cstdint>
#include <vector>

// Where a thread's stack lies: [low, high), its reservation up to its base.
struct StackExtent {
    uint64_t low = 0, high = 0;
    bool Holds(uint64_t address) const { return address >= low && address < high; }
};

struct ThreadCopy {
    DWORD tid = 0;
    UniqueHandle thread; // for the walk and the thread's name, after the resume
    DWORD error = 0;     // why there are no registers; 0 when there are
    DWORD machine = 0;
    CONTEXT native = {};
#if defined(_WIN64)
    WOW64_CONTEXT wow64 = {};
#endif
    uint64_t pc = 0, framePointer = 0, stackPointer = 0;
    StackCopy stack;
    // The stack pointer of each frame the walk found, in order (inlined calls not counted).
    std::vector<uint64_t> frameStacks;
};

// A thread the hold did not copy, and why.
struct LeftThread {
    DWORD tid = 0;
    LeftOut why = LeftOut::Ended;
    DWORD error = 0; // LeftOut::Refused: the system's error code
};

struct HoldResult {
    std::vector<ThreadCopy> copied;
    std::vector<LeftThread> left;
    DWORD listError = 0;      // the thread list could not be taken: why
    bool targetEnded = false; // the process ended during the hold
    double heldMs = 0;        // from the first suspension to the last resume
};

// Holds at most about stopWithinMs: threads not suspended and copied by then are resumed at
// once (or never suspended) and listed as not reached. Every suspended thread is resumed on
// every path. extents: where the stacks of the process's threads lie, as an earlier capture of
// the same process found them; brought up to date.
HoldResult HoldAndCopy(const Target &target, int stopWithinMs, QHash<DWORD, StackExtent> *extents);
