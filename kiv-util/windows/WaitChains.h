#pragma once
// Which lock each thread waits for, and which thread of the process holds it: from Wait Chain
// Traversal (critical sections and mutexes; Vista and later, looked up at run time), and where
// that service does not answer (Wine has none; an elevated target refuses it), from the stacks
// themselves for critical sections.
#include "CaptureModel.h"
#include "Suspend.h"

#include <vector>

// Fills in the lock waits the wait-chain service reports; false when it did not answer.
bool FindLockOwners(StackCapture *capture);

// For each thread in the system's critical-section lock functions, the critical section it waits
// for, read from its stack copy (those functions keep its address there) and confirmed by the
// section itself (its debug record points back at it, and a thread of the process holds it),
// with its owner; a thread whose section cannot be told so is marked as waiting for one not
// known. copies: the hold's, each thread's frame stack pointers filled in by its walk.
void FindCriticalSectionWaits(HANDLE process, bool is32Bit, const std::vector<ThreadCopy> &copies,
                              StackCapture *capture);
