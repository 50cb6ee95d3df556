#pragma once
// DbgHelp over the copies: each thread's frames walked from its copied registers and stack,
// and addresses named. DbgHelp is single-threaded: callers hold the capture lock.
#include "Frames.h"
#include "Suspend.h"

// One thread's frames, from its copy, each with the address it is to be named by.
void WalkThread(const Target &target, ThreadCopy *copy, ThreadStack *stack);

CodeSymbol Resolve(HANDLE process, DWORD64 address);

// Windows 10 1607 and later name threads; older systems simply show none.
QString ThreadName(HANDLE thread);
