#pragma once
// Every sentence the capture library shows, for both platforms: the model holds facts, this
// puts them into words.
#include "CaptureModel.h"

QString FailureText(const StackCapture &capture);
QString NoteText(const CaptureNote &note);
// Why a thread has no stack; empty when it has one.
QString LeftOutText(const ThreadStack &thread);
// Why its walk broke off; empty when it reached the end.
QString WalkEndText(const ThreadStack &thread);
QString StateText(ThreadState state);
QString LockKindText(LockKind kind);

// The system's own description of an error code (errno, or a Windows error code), one per
// platform.
QString SystemErrorText(int code);
