// Windows back end, in stages: open and examine the target; load its modules' symbols; suspend
// every thread of the Toolhelp list, copy each one's registers and live stack and resume them
// all; then walk the copies with StackWalk64, name the threads, resolve the frames and ask who
// owns the locks threads wait for.
//
// A 64-bit viewer walks 32-bit (WOW64) targets too, from their 32-bit context; a 32-bit viewer
// walks 32-bit targets only.
#include "StackCapture.h"
#include "Suspend.h"
#include "WaitChains.h"
#include "Walk.h"

#include <QFileInfo>
#include <QHash>
#include <mutex>

#include <dbghelp.h>

namespace {

// DbgHelp is single-threaded: one capture at a time.
std::mutex g_captureLock;

bool IsWow64(HANDLE process)
{
    BOOL wow64 = FALSE;
    return IsWow64Process(process, &wow64) && wow64;
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
    DWORD exitCode = 0;
    if (GetExitCodeProcess(target->process.get(), &exitCode) && exitCode != STILL_ACTIVE)
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

// Stage 2: every module's symbols, read before any thread is suspended (no deferred loads), so
// the walk under suspension finds its unwind tables ready.
bool LoadSymbols(const Target &target, StackCapture *capture)
{
    DWORD options = SYMOPT_UNDNAME | SYMOPT_LOAD_LINES | SYMOPT_FAIL_CRITICAL_ERRORS;
    // Without it DbgHelp loads no 32-bit module of a WOW64 process, names addresses wrongly and
    // the walk repeats one frame.
    if (target.wow64)
        options |= SYMOPT_INCLUDE_32BIT_MODULES;
    SymSetOptions(options);
    if (SymInitializeW(target.process.get(), nullptr, TRUE))
        return true;
    capture->failure.kind = Failure::SymbolsNotLoaded;
    capture->failure.error = static_cast<int>(GetLastError());
    return false;
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
    if (!LoadSymbols(target, &capture))
        return capture;
    // Stage 3: suspended only to copy; walked once every thread runs again.
    std::vector<ThreadCopy> copies = SuspendAndCopy(target, &capture.stoppedMs);
    for (ThreadCopy &copy : copies) {
        ThreadStack stack;
        stack.tid = copy.tid;
        WalkThread(target, &copy, &stack);
        // Stage 4: thread names need no suspended thread either.
        stack.name = ThreadName(copy.thread.get());
        capture.threads.push_back(stack);
    }
    // Stage 5: the frames' names, each address once; then the lock owners.
    QHash<uint64_t, CodeSymbol> cache;
    HANDLE process = target.process.get();
    ResolveFrames(&capture, &cache,
                  [process](uint64_t address) { return Resolve(process, address); });
    SymCleanup(process);
    FindLockOwners(&capture);
    capture.ok = true;
    return capture;
}
