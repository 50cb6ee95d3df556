// Windows back end, in stages: open and examine the target; the hold (every thread of the
// Toolhelp list suspended, its registers and stack copied, each resumed once copied, within a
// deadline); then, with every thread running again, DbgHelp's session for the process (kept
// from the last capture of the same process), the walks of the copies with StackWalk64, the
// threads' names, the frames' names and who owns the locks threads wait for (the wait-chain
// service, else what the stacks show). The hold never waits for symbols.
//
// A 64-bit viewer walks 32-bit (WOW64) targets too, from their 32-bit context; a 32-bit viewer
// walks 32-bit targets only.
#include "StackCapture.h"
#include "Suspend.h"
#include "SymbolSession.h"
#include "WaitChains.h"
#include "Walk.h"

#include <QFileInfo>
#include <QHash>
#include <algorithm>
#include <mutex>

#include <dbghelp.h>

namespace {

constexpr int kStopWithinMs = 150;

// DbgHelp is single-threaded: one capture at a time, and the session it keeps is shared.
std::mutex g_captureLock;

SymbolSession &Session()
{
    static SymbolSession session; // released when the viewer ends
    return session;
}

// Where the last process captured keeps its threads' stacks: a repeated capture need not look
// again before its hold.
struct KnownStacks {
    DWORD pid = 0;
    unsigned long long started = 0;
    QHash<DWORD, StackExtent> extents;
};

QHash<DWORD, StackExtent> *StacksOf(const Target &target)
{
    static KnownStacks known;
    FILETIME created = {}, exited, kernel, user;
    GetProcessTimes(target.process.get(), &created, &exited, &kernel, &user);
    const unsigned long long started =
        (static_cast<unsigned long long>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    if (known.pid != target.pid || known.started != started)
        known = {target.pid, started, {}};
    return &known.extents;
}

bool IsWow64(HANDLE process)
{
    BOOL wow64 = FALSE;
    return IsWow64Process(process, &wow64) && wow64;
}

bool Ended(HANDLE process)
{
    DWORD code = 0;
    return GetExitCodeProcess(process, &code) && code != STILL_ACTIVE;
}

// Stage 1: the process, whether it can be captured at all, and its kind; Failure::None when
// it can.
Failure OpenAndExamine(DWORD pid, StackCapture *capture, Target *target)
{
    target->pid = pid;
    capture->pid = static_cast<long long>(pid);
    if (pid == GetCurrentProcessId())
        return Failure::Self;
    target->process =
        UniqueHandle(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
    if (!target->process) {
        const DWORD error = GetLastError();
        capture->failure.error = static_cast<int>(error);
        return error == ERROR_INVALID_PARAMETER ? Failure::NoProcess
               : error == ERROR_ACCESS_DENIED   ? Failure::AccessDenied
                                                : Failure::CannotOpen;
    }
    wchar_t image[MAX_PATH * 4] = {};
    DWORD imageLen = MAX_PATH * 4;
    if (QueryFullProcessImageNameW(target->process.get(), 0, image, &imageLen))
        capture->processName =
            QFileInfo(QString::fromWCharArray(image, static_cast<int>(imageLen))).fileName();
    if (Ended(target->process.get()))
        return Failure::Exited;
    target->wow64 = IsWow64(target->process.get());
#if defined(_WIN64)
    target->is32Bit = target->wow64;
#else
    // A 32-bit viewer on 64-bit Windows runs under WOW64 itself: a target that does not is a
    // 64-bit program, whose stacks it cannot walk.
    if (IsWow64(GetCurrentProcess()) && !target->wow64)
        return Failure::WrongArchitecture;
    target->is32Bit = true;
#endif
    capture->addressDigits = target->is32Bit ? 8 : 16;
    return Failure::None;
}

// A hold that took nothing, or a process that ended during it, in facts; Failure::None when
// the capture goes on.
CaptureFailure ExplainHold(const HoldResult &hold)
{
    CaptureFailure failure;
    if (hold.targetEnded)
        failure.kind = Failure::EndedDuringCapture;
    else if (hold.copied.empty() && hold.left.empty() && hold.listError != 0)
        failure = {Failure::ProcUnreadable, static_cast<int>(hold.listError), {}, {}, -1, 0};
    else if (hold.copied.empty() && hold.left.empty())
        failure.kind = Failure::EndedBeforeStop; // a live process has at least one thread
    return failure;
}

void AddLeftThreads(const HoldResult &hold, StackCapture *capture)
{
    for (const LeftThread &left : hold.left) {
        ThreadStack thread;
        thread.tid = left.tid;
        thread.leftOut = left.why;
        thread.error = static_cast<int>(left.error);
        capture->threads.push_back(thread);
    }
    std::sort(capture->threads.begin(), capture->threads.end(),
              [](const ThreadStack &a, const ThreadStack &b) { return a.tid < b.tid; });
}

} // namespace

StackCapture CaptureStacks(unsigned long pid)
{
    StackCapture capture;
    Target target;
    capture.failure.kind = OpenAndExamine(static_cast<DWORD>(pid), &capture, &target);
    if (capture.failure.kind != Failure::None)
        return capture;
    std::lock_guard<std::mutex> guard(g_captureLock);
    HoldResult hold = HoldAndCopy(target, kStopWithinMs, StacksOf(target));
    capture.stoppedMs = hold.heldMs;
    capture.failure = ExplainHold(hold);
    if (capture.failure.kind != Failure::None)
        return capture;
    // Every thread runs again: DbgHelp may take its time.
    DWORD error = 0;
    SymbolSession &session = Session();
    if (!session.Open(target, &error)) {
        capture.failure.kind = Failure::SymbolsNotLoaded;
        capture.failure.error = static_cast<int>(error);
        return capture;
    }
    HANDLE process = session.process();
    for (ThreadCopy &copy : hold.copied) {
        ThreadStack stack;
        stack.tid = copy.tid;
        WalkThread(process, session.images(), target, hold.copied, &copy, &stack);
        stack.name = ThreadName(copy.thread.get());
        capture.threads.push_back(stack);
    }
    // The frames' names, each address once a session; then the lock owners.
    ResolveFrames(
        &capture, session.names(),
        [&session](uint64_t address) { return Resolve(session, address); },
        [&session](const CodeSymbol &callee, const CodeSymbol &caller, uint64_t callerPc) {
            return FindTailCalls(session, callee, caller, callerPc);
        });
    for (ThreadStack &thread : capture.threads)
        SettleWalkEnd(&thread);
    AddLeftThreads(hold, &capture);
    if (!FindLockOwners(&capture)) {
        capture.lockWaits = LockWaits::ServiceDidNotAnswer;
        FindCriticalSectionWaits(process, target.is32Bit, hold.copied, &capture);
    }
    capture.ok = true;
    return capture;
}
