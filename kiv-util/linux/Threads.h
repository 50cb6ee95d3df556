#pragma once
// One thread's heading, in one place: its name, its state at the stop and where it slept, and
// for a thread the hold did not take, why; from the hold's copy, or from what /proc says.
#include "CaptureModel.h"
#include "TargetHold.h"

ThreadStack ThreadOf(long long pid, const CopiedThread &copy);
ThreadStack ThreadOf(long long pid, const LeftThread &left);

// The state at the stop, from the copy: stopped by a job stop before the hold, asleep in a
// system call, else running.
ThreadState StateAtStop(const CopiedThread &copy);
// The state /proc gives as a letter.
ThreadState StateOf(char letter);
// A wait channel as /proc gives it; "0" means none.
QString WaitChannel(const QByteArray &wchan);
