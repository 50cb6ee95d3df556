#pragma once
// For each thread blocked on a critical section or a mutex, the thread of the same process
// that owns it, as Wait Chain Traversal reports (Vista and later; looked up at run time, and
// where the system lacks it the capture simply names no owners).
#include "CaptureModel.h"

void FindLockOwners(StackCapture *capture);
