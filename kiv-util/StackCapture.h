#pragma once
// The capture library's entry points below NVPStack.
//
// Threads: CaptureStacks may be called from any thread. Captures run one at a time (each back
// end serialises them with a lock of its own), since what they keep between captures (loaded
// debug information, names already looked up) is shared. No capture leaves the process's
// environment or any other process-wide setting changed (the one signal handler a capture puts
// in place, for a timer that interrupts a wait in libdw's open of a split unit, is there only
// for that open).
#include "CaptureModel.h"

// Platform back end: stops the threads, copies what the walk needs, lets them go, then walks
// and names the copies.
StackCapture CaptureStacks(unsigned long pid);

// HTML with all names escaped, so the viewer shows it the same as rich text. A summary line
// comes first, then any deadlock (threads waiting for each other's locks), then the stacks:
// threads with the same frames are shown once, together.
QString FormatCapture(const StackCapture &capture);
