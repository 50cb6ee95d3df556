#pragma once
// Every sentence the capture library shows, for both platforms: the model holds facts, this
// puts them into words; FormatCapture.cpp only lays them out.
#include "CaptureModel.h"

QString FailureText(const StackCapture &capture);
QString NoteText(const CaptureNote &note);
// Why a thread has no stack; empty when it has one.
QString LeftOutText(const ThreadStack &thread);
// Why its walk broke off; empty when it reached the end.
QString WalkEndText(const ThreadStack &thread);
QString StateText(ThreadState state);
QString LockKindText(LockKind kind);

// The pieces of the capture's text, plain (the HTML escapes and lays them out):
// "Process 123", "No stack traces for process 123."
QString ProcessTitle(long long pid);
QString NoTracesTitle(long long pid);
// After the title: "name (32-bit) — 3 threads, 2 distinct stacks, 0 waiting on locks, stopped
// for 1.23 ms".
QString SummaryText(const StackCapture &capture, int groups, int lockWaits);
// "Deadlock:", then "a thread waits for a lock it holds itself" or "3 threads wait for each
// other".
QString DeadlockLabel();
QString DeadlockText(int threads);
// "Thread 12 worker"; "thread 12 worker" inside a sentence.
QString ThreadTitle(const ThreadStack &thread, bool capital = true);
// "3 threads"
QString ThreadCount(int count);
// "sleeping in futex_do_wait"; empty when the state is not known.
QString StateLineText(const ThreadStack &thread);
// "waits for mutex 0x... held by thread 12 worker"; owner: the thread holding it, if known.
QString LockWaitText(const ThreadStack &thread, const ThreadStack *owner, int digits);
// One frame after its number: "0x... name+0x12 in module at file:line".
QString FrameText(const StackFrame &frame, int digits);
// Lines under a thread's frames: why it has none, where it waited in the kernel, why its walk
// ended; empty when there is nothing to say.
QString NotCapturedText(const ThreadStack &thread);
QString KernelFrameText(const QString &line);
// The line where a deep stack's innermost frames end and its outermost begin.
QString OmittedFramesText(int count);
QString NoFramesText();
QString TruncatedText(const ThreadStack &thread);
// "Note: ..."
QString NoteLine(const CaptureNote &note);

// The system's own description of an error code (errno, or a Windows error code), one per
// platform.
QString SystemErrorText(int code);
