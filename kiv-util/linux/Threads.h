#pragma once
// A thread's heading, decided in one place from its one record (HeldThread): whether it was
// asleep at the stop, its state and wait channel, why it was left out (a kernel worker, ended,
// held by another capture, refused, not stopped in time), and the main thread that has exited.
// Pure functions of the record; the name is read by the caller.
#include "CaptureModel.h"
#include "TargetHold.h"

// Asleep at the stop: in a call the stop interrupted and that resumes afterwards, or in one the
// stop ended early (epoll_wait, sigtimedwait, io_uring_enter return EINTR) where it slept just
// before the hold.
bool AsleepAtStop(const HeldThread &thread);
// A copied thread's state at the stop (stopped by a job stop before the hold, asleep in a
// system call, else running); one not taken, its state after the hold.
ThreadState StateOf(const HeldThread &thread);
// Where it sleeps, where the system says: for a copied thread asleep at the stop, where it slept
// just before; one stopped by a job stop sleeps in the stop.
QString WaitChannelOf(const HeldThread &thread);
// Why a thread has no stack; LeftOut::No for a copied one.
LeftOut LeftOutOf(const HeldThread &thread);

ThreadStack Heading(const HeldThread &thread, const QString &name);
// The main thread, which has exited while the others live on.
ThreadStack ExitedLeader(long long pid, const QString &name);

// The state /proc gives as a letter.
ThreadState StateOf(char letter);
// A wait channel as /proc gives it; "0" means none.
QString WaitChannel(const QByteArray &wchan);
