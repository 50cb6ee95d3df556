#include "Wording.h"

#include <cerrno>

namespace {

// "4711 (strace)", or the id alone when the name is not known.
QString Ref(const ProcessRef &ref)
{
    return ref.name.isEmpty() ? QString::number(ref.id)
                              : QStringLiteral("%1 (%2)").arg(QString::number(ref.id), ref.name);
}

QString AnotherCapture(const ProcessRef &other)
{
    return QStringLiteral("another program is capturing this process right now (process %1)")
        .arg(Ref(other));
}

// Why the tracer did not start, as a tail to its sentence.
QString TracerTrouble(int error)
{
    if (error == EAGAIN)
        return QStringLiteral(" (this user may start no more processes: the process limit, "
                              "ulimit -u, is reached)");
    if (error == ENOMEM)
        return QStringLiteral(" (no memory for it: the viewer's address-space limit, ulimit -v, "
                              "or the system's memory is used up)");
    return error ? QStringLiteral(" (%1)").arg(SystemErrorText(error)) : QString();
}

QString NoWaitChains()
{
    return QStringLiteral("the system's wait-chain service did not answer");
}

QString MiB(unsigned long long bytes)
{
    return QString::number((bytes + (1 << 20) - 1) >> 20);
}

} // namespace

namespace {

// One-pass arg throughout: a name may itself hold "%1".

// What the process is, where that keeps it from being captured.
QString WhatTheProcessIs(const StackCapture &capture)
{
    const CaptureFailure &f = capture.failure;
    const QString pid = QString::number(capture.pid);
    const QString &name = capture.processName;
    switch (f.kind) {
    case Failure::NoProcess:
        return QStringLiteral("There is no process with id %1.").arg(pid);
    case Failure::Self:
        return QStringLiteral("Process %1 is this viewer itself; a process cannot stop its own "
                              "threads to look at them.")
            .arg(pid);
    case Failure::KernelThread:
        return QStringLiteral("Process %1 (%2) is a kernel thread: it has no user-space stack to "
                              "show.")
            .arg(pid, name);
    case Failure::Zombie:
        return QStringLiteral("Process %1 (%2) is a zombie: it has exited and waits for its parent "
                              "to collect it, so it has no stacks left.")
            .arg(pid, name);
    case Failure::Exited:
        return QStringLiteral("Process %1 has exited; it has no stacks left.").arg(pid);
    case Failure::TracingViewer:
        return QStringLiteral("Process %1 (%2) is tracing this viewer: stopping it would stop the "
                              "viewer as well. Capture it from another viewer that it does not "
                              "trace.")
            .arg(pid, name);
    case Failure::AlreadyTraced:
        return QStringLiteral("Process %1 (%2) is already being traced by process %3; a process "
                              "can have only one tracer at a time.")
            .arg(pid, name, Ref(f.other));
    case Failure::AnotherCapture:
        return QStringLiteral("Process %1 (%2) cannot be captured: %3. Try again in a moment.")
            .arg(pid, name, AnotherCapture(f.other));
    case Failure::ThirtyTwoBit:
        return QStringLiteral("Process %1 (%2) is a 32-bit program; on Linux this viewer walks "
                              "64-bit programs only, so it shows no stacks rather than wrong ones.")
            .arg(pid, name);
    case Failure::WrongArchitecture:
        return QStringLiteral("Process %1 is a 64-bit program; this 32-bit viewer walks 32-bit "
                              "stacks only. Use the 64-bit norva-pstack, which walks both.")
            .arg(pid);
    default:
        return QString();
    }
}

// Why looking at the process is not permitted.
QString WhyNotPermitted(const StackCapture &capture)
{
    const CaptureFailure &f = capture.failure;
    const QString pid = QString::number(capture.pid);
    switch (f.kind) {
    case Failure::OtherUser:
        return QStringLiteral("Permission denied: process %1 belongs to another user (uid %2); "
                              "only that user or root may look at it.")
            .arg(pid, QString::number(f.uid));
    case Failure::PtraceScope:
        if (f.ptraceScope == 1)
            return QStringLiteral("Permission denied by ptrace restrictions: "
                                  "kernel.yama.ptrace_scope is 1, so only a parent may trace its "
                                  "children. Run as root, or set it to 0.");
        if (f.ptraceScope == 2)
            return QStringLiteral("Permission denied by ptrace restrictions: "
                                  "kernel.yama.ptrace_scope is 2, so only root may trace "
                                  "processes.");
        return QStringLiteral("Permission denied by ptrace restrictions: kernel.yama.ptrace_scope "
                              "is 3, so no process may be traced.");
    case Failure::NotDumpable:
        return QStringLiteral("Permission denied: process %1 has made itself non-dumpable (as "
                              "programs that keep secrets do, and programs started with raised "
                              "privileges are); only root may look at it.")
            .arg(pid);
    case Failure::NotPermitted:
        return QStringLiteral("Permission denied: tracing process %1 is not allowed here (it may "
                              "be privileged, or this program lacks CAP_SYS_PTRACE).")
            .arg(pid);
    case Failure::AccessDenied:
        return QStringLiteral("Access denied: process %1 belongs to another user, runs elevated "
                              "or is protected; run the viewer as administrator.")
            .arg(pid);
    default:
        return QString();
    }
}

// What broke off a capture of a process that could be captured.
QString WhatWentWrong(const StackCapture &capture)
{
    const CaptureFailure &f = capture.failure;
    const QString pid = QString::number(capture.pid);
    switch (f.kind) {
    case Failure::CannotOpen:
        return QStringLiteral("Process %1 cannot be opened: %2").arg(pid, SystemErrorText(f.error));
    case Failure::WalkerNotStarted:
        return QStringLiteral("The stack walker could not start: %1").arg(f.detail);
    case Failure::WalkerRefused:
        return QStringLiteral("The stack walker could not take process %1: %2").arg(pid, f.detail);
    case Failure::SymbolsNotLoaded:
        return QStringLiteral("The symbol handler could not start for process %1: %2")
            .arg(pid, SystemErrorText(f.error));
    case Failure::MapUnreadable:
        return QStringLiteral("The memory map of process %1 cannot be read: %2")
            .arg(pid, SystemErrorText(f.error));
    case Failure::StartedAnotherProgram:
        return QStringLiteral("Process %1 started another program during the capture, so its "
                              "threads and modules changed under it; capture it again.")
            .arg(pid);
    case Failure::EndedDuringCapture:
        return QStringLiteral("Process %1 ended during the capture.").arg(pid);
    case Failure::EndedBeforeStop:
        return QStringLiteral("Process %1 ended before its threads could be stopped.").arg(pid);
    case Failure::TracerDidNotRun:
        return QStringLiteral("Process %1 could not be captured: the tracer this viewer starts for "
                              "it did not run%2.")
            .arg(pid, TracerTrouble(f.error));
    case Failure::ProcUnreadable:
        return QStringLiteral("What the system says of process %1 cannot be read: %2")
            .arg(pid, SystemErrorText(f.error));
    default:
        return QString();
    }
}

} // namespace

QString FailureText(const StackCapture &capture)
{
    if (capture.failure.kind == Failure::None)
        return QString();
    for (auto text : {WhatTheProcessIs, WhyNotPermitted, WhatWentWrong})
        if (const QString words = text(capture); !words.isEmpty())
            return words;
    return QString();
}

QString NoteText(const CaptureNote &note)
{
    switch (note.kind) {
    case NoteKind::DebugFileTooLarge:
        return QStringLiteral("the debug file %1 was skipped: its sections would take %2 MiB once "
                              "inflated, more than the %3 MiB allowed for one file")
            .arg(note.path, MiB(note.bytes), MiB(note.limit));
    case NoteKind::DebugFileNotInflated:
        return QStringLiteral("the debug file %1 was skipped: its compressed sections could not "
                              "be inflated")
            .arg(note.path);
    case NoteKind::DebugMemoryFull:
        return QStringLiteral("the debug file %1 was skipped: the debug information in use already "
                              "takes the %2 MiB allowed in all")
            .arg(note.path, MiB(note.limit));
    case NoteKind::ModuleSectionsTooLarge:
        return QStringLiteral("the compressed debug sections of %1 were left out: they would take "
                              "%2 MiB once inflated, more than the %3 MiB allowed for one file")
            .arg(note.path, MiB(note.bytes), MiB(note.limit));
    case NoteKind::MiniDebugInfoLeftOut:
        if (note.bytes > note.limit)
            return QStringLiteral("the MiniDebugInfo symbol table of %1 was left out: it would "
                                  "take %2 MiB once inflated, more than the %3 MiB allowed for "
                                  "one file")
                .arg(note.path, MiB(note.bytes), MiB(note.limit));
        return QStringLiteral("the MiniDebugInfo symbol table of %1 was left out: its compressed "
                              "data is damaged, or holds more than it says")
            .arg(note.path);
    case NoteKind::ModuleNotTheMappedFile:
        return (note.count ? QStringLiteral("the file %1 is not the one the process has mapped "
                                            "(another file is there now, or it cannot be read): "
                                            "its frames are named from the process's own copy, "
                                            "by its exported symbols")
                           : QStringLiteral("the file %1 is not the one the process has mapped "
                                            "(another file is there now, or it cannot be read): "
                                            "its frames have no names"))
            .arg(note.path);
    case NoteKind::SplitUnitLeftOut:
        return QStringLiteral(
                   "the split unit %1 was left out, and the frames of its code show no "
                   "line: it is not a regular file, or its sections would take more than "
                   "the %2 MiB allowed for one file once inflated")
            .arg(note.path, MiB(note.limit));
    case NoteKind::StacksUnread:
        return QStringLiteral("the stacks of %1 threads could not be read before the hold's "
                              "deadline: they show where each thread stood, not how it got there")
            .arg(note.count);
    case NoteKind::CodeChanging:
        return QStringLiteral("the process was loading or unloading code during the capture: "
                              "frames in that code may have no names");
    }
    return QString();
}

QString LeftOutText(const ThreadStack &thread)
{
    switch (thread.leftOut) {
    case LeftOut::No:
        return QString();
    case LeftOut::Ended:
        return QStringLiteral("it ended during the capture");
    case LeftOut::Busy:
        return AnotherCapture(thread.busyWith);
    case LeftOut::Refused:
        return QStringLiteral("it could not be stopped: %1").arg(SystemErrorText(thread.error));
    case LeftOut::NotStopped:
        return QStringLiteral("it did not stop in time"); // its heading says where it was
    case LeftOut::Exited:
        return QStringLiteral("it has exited; the process lives on in its other threads");
    case LeftOut::IoUringWorker:
        return QStringLiteral("io_uring kernel worker: no user-space stack");
    case LeftOut::KernelWorker:
        return QStringLiteral("kernel worker of the process: no user-space stack");
    case LeftOut::NotReached:
        return QStringLiteral("not copied within the hold; it was let go at once");
    }
    return QString();
}

QString WalkEndText(const ThreadStack &thread)
{
    switch (thread.walkEnd) {
    case WalkEnd::Complete:
        return QString();
    case WalkEnd::FrameLimit:
        return QStringLiteral("more than %1 frames").arg(kWalkLimit);
    case WalkEnd::WalkerError:
        return thread.walkError;
    case WalkEnd::RepeatedFrame:
        return QStringLiteral("the walk repeated a frame");
    case WalkEnd::NoRegisters:
        return SystemErrorText(thread.error);
    case WalkEnd::BeyondCopy:
        return QStringLiteral("stack deeper than the copy: outer frames not shown");
    case WalkEnd::FrameUnreadable:
        return QStringLiteral("the next frame would lie at 0x%1, which cannot be read: the frame "
                              "chain is damaged")
            .arg(thread.walkAddress, 0, 16);
    }
    return QString();
}

QString StateText(ThreadState state)
{
    switch (state) {
    case ThreadState::Unknown:
        return QString();
    case ThreadState::Running:
        return QStringLiteral("running");
    case ThreadState::Sleeping:
        return QStringLiteral("sleeping");
    case ThreadState::DiskSleep:
        return QStringLiteral("disk sleep");
    case ThreadState::Stopped:
        return QStringLiteral("stopped");
    }
    return QString();
}

QString LockKindText(LockKind kind)
{
    switch (kind) {
    case LockKind::None:
        return QString();
    case LockKind::Mutex:
        return QStringLiteral("mutex");
    case LockKind::CriticalSection:
        return QStringLiteral("critical section");
    }
    return QString();
}

namespace {

QString Hex(uint64_t value, int width = 0)
{
    return QStringLiteral("0x") +
           QString::number(value, 16).rightJustified(width, QLatin1Char('0'));
}

QString Plural(int count, const char *word)
{
    return QString::number(count) + QLatin1Char(' ') + QLatin1String(word) +
           (count == 1 ? QString() : QStringLiteral("s"));
}

} // namespace

QString ProcessTitle(long long pid)
{
    return QStringLiteral("Process %1").arg(pid);
}

QString NoTracesTitle(long long pid)
{
    return QStringLiteral("No stack traces for process %1.").arg(pid);
}

QString SummaryText(const StackCapture &capture, int groups, int lockWaits)
{
    QString locks = QStringLiteral("%1 waiting on locks").arg(lockWaits);
    if (capture.lockWaits == LockWaits::ServiceDidNotAnswer)
        locks = lockWaits == 0 ? QStringLiteral("lock waits not known (%1)").arg(NoWaitChains())
                               : QStringLiteral("%1 waiting on locks as their stacks show, others "
                                                "not known (%2)")
                                     .arg(QString::number(lockWaits), NoWaitChains());
    // One-pass arg: names may themselves hold "%1".
    return QStringLiteral("%1 \u2014 %2, %3, %4, stopped for %5 ms")
        .arg(capture.processName +
                 (capture.addressDigits == 8 ? QStringLiteral(" (32-bit)") : QString()),
             ThreadCount(capture.threads.size()), Plural(groups, "distinct stack"), locks,
             QString::number(capture.stoppedMs, 'f', 2));
}

QString DeadlockLabel()
{
    return QStringLiteral("Deadlock:");
}

QString DeadlockText(int threads)
{
    return threads == 1 ? QStringLiteral("a thread waits for a lock it holds itself")
                        : QStringLiteral("%1 threads wait for each other").arg(threads);
}

QString ThreadTitle(const ThreadStack &thread, bool capital)
{
    QString title = (capital ? QStringLiteral("Thread ") : QStringLiteral("thread ")) +
                    QString::number(thread.tid);
    if (!thread.name.isEmpty())
        title += QLatin1Char(' ') + thread.name;
    return title;
}

QString ThreadCount(int count)
{
    return Plural(count, "thread");
}

QString StateLineText(const ThreadStack &thread)
{
    const QString state = StateText(thread.state);
    if (state.isEmpty() || thread.waitChannel.isEmpty())
        return state;
    return state + QStringLiteral(" in ") + thread.waitChannel;
}

QString LockWaitText(const ThreadStack &thread, const ThreadStack *owner, int digits)
{
    if (thread.lockRefused)
        return QStringLiteral("waits for a %1 that the system refused to give it (a deadlock "
                              "through priority-inheritance mutexes, or an owner that died); "
                              "it waits for ever")
            .arg(LockKindText(thread.lockKind));
    QString text = QStringLiteral("waits for ") + LockKindText(thread.lockKind);
    if (thread.lockUnknown)
        return QStringLiteral("waits for a %1; which one, and who holds it, is not known (%2)")
            .arg(LockKindText(thread.lockKind), NoWaitChains());
    if (thread.lockAddress)
        text += QLatin1Char(' ') + Hex(thread.lockAddress, digits);
    if (owner)
        text += QStringLiteral(" held by ") + ThreadTitle(*owner, false);
    else if (thread.recordedOwner)
        text += QStringLiteral(" (owner recorded in the mutex: thread %1, which is no live thread "
                               "of this process)")
                    .arg(thread.recordedOwner);
    return text;
}

namespace {

// Where a name comes from that no debug information gives.
QString NameFromText(const StackFrame &frame)
{
    switch (frame.nameFrom) {
    case NameFrom::DebugInfo:
        return QString();
    case NameFrom::Exports:
        return QStringLiteral(" (exported name)");
    case NameFrom::SymbolTable:
        return QStringLiteral(" (symbol-table name)");
    }
    return QString();
}

} // namespace

QString FrameText(const StackFrame &frame, int digits)
{
    QString line = Hex(frame.pc, digits) + QLatin1Char(' ');
    const QString in = frame.module.isEmpty() ? QString() : QStringLiteral(" in ") + frame.module;
    if (frame.inlined) // the same pc as the frame it was inlined into
        line += frame.function + QStringLiteral(" (inlined)") + in;
    else if (!frame.function.isEmpty())
        line += frame.function + QLatin1Char('+') + Hex(frame.offset) + in +
                (frame.tailCall ? QStringLiteral(" (tail call)") : QString()) + NameFromText(frame);
    else if (!frame.module.isEmpty()) // still to be named from the module's file later
        line += frame.module + QLatin1Char('+') + Hex(frame.moduleOffset);
    else
        line += QStringLiteral("??");
    if (!frame.file.isEmpty())
        line +=
            QStringLiteral(" at ") + frame.file + QLatin1Char(':') + QString::number(frame.line);
    return line;
}

QString NotCapturedText(const ThreadStack &thread)
{
    return thread.leftOut == LeftOut::No
               ? QString()
               : QStringLiteral("(not captured: ") + LeftOutText(thread) + QLatin1Char(')');
}

QString OmittedFramesText(int count)
{
    return QStringLiteral("(%1 frames left out here: the stack is deeper than %2 frames)")
        .arg(count)
        .arg(kStackFrameLimit);
}

QString KernelFrameText(const QString &line)
{
    return QStringLiteral("kernel: ") + line;
}

QString NoFramesText()
{
    return QStringLiteral("(no frames)");
}

QString TruncatedText(const ThreadStack &thread)
{
    const QString why = WalkEndText(thread);
    return why.isEmpty() ? QString()
                         : QStringLiteral("(stack truncated: ") + why + QLatin1Char(')');
}

QString NoteLine(const CaptureNote &note)
{
    return QStringLiteral("Note: ") + NoteText(note);
}
