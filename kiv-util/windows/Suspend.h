#pragma once
// Every thread of the target suspended, its registers and the live part of its stack copied,
// and all resumed again: the target is held only for the copying. Walking takes DbgHelp tens of
// milliseconds a thread (under Wine), so the walks run on the copies afterwards.
#include "Handle.h"

#include <cstdint>
#include <vector>

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
    uint64_t stackStart = 0;
    std::vector<uint8_t> stack;
};

// The copies of every thread of the target; *stoppedMs is how long they were held.
std::vector<ThreadCopy> SuspendAndCopy(const Target &target, double *stoppedMs);
