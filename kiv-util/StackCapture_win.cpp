// Windows back end, in stages: open and examine the target; load its modules' symbols; suspend
// every thread of the Toolhelp list, walk each with StackWalk64 and resume them all; then name
// the threads, resolve the frames and ask who owns the locks threads wait for.
//
// A 64-bit viewer walks 32-bit (WOW64) targets too, from their 32-bit context; a 32-bit viewer
// walks 32-bit targets only.
#include "StackCapture.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QHash>
#include <QVector>
#include <mutex>

// windows.h first: the other Win32 headers build on it.
#include <windows.h>

#include <dbghelp.h>
#include <tlhelp32.h>
#include <wct.h>

#ifndef WCT_MAX_NODE_COUNT
#define WCT_MAX_NODE_COUNT 16 // not in every SDK's wct.h
#endif

namespace {

// DbgHelp is single-threaded: every Sym* call goes through this lock.
std::mutex g_symLock;

QString SystemMessage(DWORD code)
{
    wchar_t *text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    const QString message = text ? QString::fromWCharArray(text).trimmed() : QString();
    LocalFree(text);
    // One-pass arg: system messages may hold "%1" inserts of their own.
    return QStringLiteral("%1 (error %2)").arg(message, QString::number(code));
}

// Holds the target's threads suspended; resumes and closes every one of them when destroyed,
// on every path out of the capture.
class ThreadSuspender {
public:
    ~ThreadSuspender() { ResumeAll(); }

    void Add(DWORD tid, HANDLE thread)
    {
        if (!timer_.isValid())
            timer_.start(); // the hold begins with the first suspension
        if (SuspendThread(thread) == static_cast<DWORD>(-1)) {
            CloseHandle(thread);
            return;
        }
        held_.push_back({tid, thread});
    }

    void ResumeAll()
    {
        for (const Held &held : held_) {
            ResumeThread(held.thread);
            CloseHandle(held.thread);
        }
        if (!held_.isEmpty())
            stoppedMs_ = timer_.nsecsElapsed() / 1e6;
        held_.clear();
    }

    struct Held {
        DWORD tid;
        HANDLE thread;
    };
    const QVector<Held> &held() const { return held_; }
    double stoppedMs() const { return stoppedMs_; }

private:
    QElapsedTimer timer_;
    QVector<Held> held_;
    double stoppedMs_ = 0;
};

QString ThreadName(HANDLE thread)
{
    // Windows 10 1607 and later name threads; older systems simply show none.
    using GetDescription = HRESULT(WINAPI *)(HANDLE, PWSTR *);
    static const auto getDescription = reinterpret_cast<GetDescription>(reinterpret_cast<void *>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
    if (!getDescription)
        return QString();
    PWSTR description = nullptr;
    QString name;
    if (SUCCEEDED(getDescription(thread, &description)) && description)
        name = QString::fromWCharArray(description);
    LocalFree(description);
    return name;
}

CodeSymbol Resolve(HANDLE process, DWORD64 address)
{
    CodeSymbol symbol;
    IMAGEHLP_MODULEW64 module = {};
    module.SizeOfStruct = sizeof(module);
    if (SymGetModuleInfoW64(process, address, &module)) {
        symbol.module = QFileInfo(QString::fromWCharArray(module.ImageName)).fileName();
        symbol.moduleBase = module.BaseOfImage; // offsets from it are what symbol servers take
    }

    alignas(SYMBOL_INFOW) char buffer[sizeof(SYMBOL_INFOW) + 1024 * sizeof(wchar_t)] = {};
    auto *info = reinterpret_cast<SYMBOL_INFOW *>(buffer);
    info->SizeOfStruct = sizeof(SYMBOL_INFOW);
    info->MaxNameLen = 1024;
    DWORD64 displacement = 0;
    if (SymFromAddrW(process, address, &displacement, info)) {
        symbol.function = QString::fromWCharArray(info->Name, static_cast<int>(info->NameLen));
        symbol.start = address - displacement;
    }
    IMAGEHLP_LINEW64 line = {};
    line.SizeOfStruct = sizeof(line);
    DWORD lineDisplacement = 0;
    if (SymGetLineFromAddrW64(process, address, &lineDisplacement, &line)) {
        symbol.file = QString::fromWCharArray(line.FileName);
        symbol.line = static_cast<int>(line.LineNumber);
    }
    return symbol;
}

// For each thread blocked on a critical section or a mutex, the thread of the same process
// that owns it, as Wait Chain Traversal reports (Vista and later; looked up at run time, and
// where the system lacks it the capture simply names no owners).
void FindLockOwners(StackCapture *capture)
{
    using Open = HWCT(WINAPI *)(DWORD, PWAITCHAINCALLBACK);
    using Close = VOID(WINAPI *)(HWCT);
    using Chain =
        BOOL(WINAPI *)(HWCT, DWORD_PTR, DWORD, DWORD, LPDWORD, PWAITCHAIN_NODE_INFO, LPBOOL);
    HMODULE advapi = GetModuleHandleW(L"advapi32.dll");
    if (!advapi)
        advapi = LoadLibraryW(L"advapi32.dll");
    const auto open = reinterpret_cast<Open>(
        reinterpret_cast<void *>(GetProcAddress(advapi, "OpenThreadWaitChainSession")));
    const auto close = reinterpret_cast<Close>(
        reinterpret_cast<void *>(GetProcAddress(advapi, "CloseThreadWaitChainSession")));
    const auto chain = reinterpret_cast<Chain>(
        reinterpret_cast<void *>(GetProcAddress(advapi, "GetThreadWaitChain")));
    HWCT session = open && close && chain ? open(0, nullptr) : nullptr;
    if (!session)
        return;
    for (ThreadStack &thread : capture->threads) {
        WAITCHAIN_NODE_INFO nodes[WCT_MAX_NODE_COUNT] = {};
        DWORD count = WCT_MAX_NODE_COUNT;
        BOOL cycle = FALSE;
        // The thread itself, what it waits for, and who owns that.
        if (!chain(session, 0, 0, static_cast<DWORD>(thread.tid), &count, nodes, &cycle) ||
            count < 2)
            continue;
        const WCT_OBJECT_TYPE type = nodes[1].ObjectType;
        if (type != WctCriticalSectionType && type != WctMutexType)
            continue;
        thread.lockKind =
            type == WctMutexType ? QStringLiteral("mutex") : QStringLiteral("critical section");
        if (count >= 3 && nodes[2].ObjectType == WctThreadType &&
            nodes[2].ThreadObject.ProcessId == static_cast<DWORD>(capture->pid) &&
            nodes[2].ThreadObject.ThreadId != static_cast<DWORD>(thread.tid))
            thread.lockOwner = nodes[2].ThreadObject.ThreadId;
    }
    close(session);
}

// The target as the stages see it; closed with the capture.
struct Target {
    DWORD pid = 0;
    HANDLE process = nullptr;
    bool is32Bit = false; // its stacks are 32-bit: a WOW64 process, or any in a 32-bit viewer
    bool wow64 = false;   // a 32-bit process on 64-bit Windows
    ~Target()
    {
        if (process)
            CloseHandle(process);
    }
};

bool IsWow64(HANDLE process)
{
    BOOL wow64 = FALSE;
    return IsWow64Process(process, &wow64) && wow64;
}

// Stage 1: the process, whether it can be captured at all, and its kind.
bool OpenAndExamine(DWORD pid, StackCapture *capture, Target *target)
{
    target->pid = pid;
    capture->pid = static_cast<long long>(pid);
    const QString id = QString::number(pid);
    if (pid == GetCurrentProcessId()) {
        capture->error = QStringLiteral("Process %1 is this viewer itself; a process cannot "
                                        "suspend its own threads to look at them.")
                             .arg(id);
        return false;
    }
    target->process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (!target->process) {
        const DWORD error = GetLastError();
        if (error == ERROR_INVALID_PARAMETER)
            capture->error = QStringLiteral("There is no process with id %1.").arg(id);
        else if (error == ERROR_ACCESS_DENIED)
            capture->error = QStringLiteral("Access denied: process %1 belongs to another user, "
                                            "runs elevated or is protected; run the viewer as "
                                            "administrator.")
                                 .arg(id);
        else
            capture->error =
                QStringLiteral("Process %1 cannot be opened: %2").arg(id, SystemMessage(error));
        return false;
    }
    wchar_t image[MAX_PATH * 4] = {};
    DWORD imageLen = MAX_PATH * 4;
    if (QueryFullProcessImageNameW(target->process, 0, image, &imageLen))
        capture->processName =
            QFileInfo(QString::fromWCharArray(image, static_cast<int>(imageLen))).fileName();
    DWORD exitCode = 0;
    if (GetExitCodeProcess(target->process, &exitCode) && exitCode != STILL_ACTIVE) {
        capture->error = QStringLiteral("Process %1 has exited; it has no stacks left.").arg(id);
        return false;
    }
    target->wow64 = IsWow64(target->process);
#if defined(_WIN64)
    target->is32Bit = target->wow64;
#else
    // A 32-bit viewer on 64-bit Windows runs under WOW64 itself: a target that does not is a
    // 64-bit program, whose stacks it cannot walk.
    if (IsWow64(GetCurrentProcess()) && !target->wow64) {
        capture->error = QStringLiteral("Process %1 is a 64-bit program; this 32-bit viewer walks "
                                        "32-bit stacks only. Use the 64-bit norva-pstack, which "
                                        "walks both.")
                             .arg(id);
        return false;
    }
    target->is32Bit = true;
#endif
    capture->addressDigits = target->is32Bit ? 8 : 16;
    return true;
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
    if (SymInitializeW(target.process, nullptr, TRUE))
        return true;
    capture->error = QStringLiteral("The symbol handler could not start for process %1: %2")
                         .arg(QString::number(target.pid), SystemMessage(GetLastError()));
    return false;
}

// One suspended thread's frames, from its context; lookup gets the address to name for each.
void WalkThread(const Target &target, HANDLE thread, ThreadStack *stack, QVector<uint64_t> *lookup)
{
    STACKFRAME64 frame = {};
    frame.AddrPC.Mode = frame.AddrFrame.Mode = frame.AddrStack.Mode = AddrModeFlat;
    DWORD machine = 0;
    void *context = nullptr;
#if defined(_WIN64)
    CONTEXT native = {};
    WOW64_CONTEXT wow64 = {};
    if (target.wow64) {
        wow64.ContextFlags = WOW64_CONTEXT_FULL;
        if (!Wow64GetThreadContext(thread, &wow64)) {
            stack->truncated = SystemMessage(GetLastError());
            return;
        }
        machine = IMAGE_FILE_MACHINE_I386;
        context = &wow64;
        frame.AddrPC.Offset = wow64.Eip;
        frame.AddrFrame.Offset = wow64.Ebp;
        frame.AddrStack.Offset = wow64.Esp;
    } else {
        native.ContextFlags = CONTEXT_FULL;
        if (!GetThreadContext(thread, &native)) {
            stack->truncated = SystemMessage(GetLastError());
            return;
        }
        machine = IMAGE_FILE_MACHINE_AMD64;
        context = &native;
        frame.AddrPC.Offset = native.Rip;
        frame.AddrFrame.Offset = native.Rbp;
        frame.AddrStack.Offset = native.Rsp;
    }
#else
    CONTEXT native = {};
    native.ContextFlags = CONTEXT_FULL;
    if (!GetThreadContext(thread, &native)) {
        stack->truncated = SystemMessage(GetLastError());
        return;
    }
    machine = IMAGE_FILE_MACHINE_I386;
    context = &native;
    frame.AddrPC.Offset = native.Eip;
    frame.AddrFrame.Offset = native.Ebp;
    frame.AddrStack.Offset = native.Esp;
#endif
    DWORD64 lastStack = 0;
    while (StackWalk64(machine, target.process, thread, &frame, context, nullptr,
                       SymFunctionTableAccess64, SymGetModuleBase64, nullptr)) {
        const uint64_t pc = frame.AddrPC.Offset;
        if (pc == 0)
            break;
        // A walk that stops making progress would repeat one frame up to the limit.
        if (!stack->frames.isEmpty() && stack->frames.last().pc == pc &&
            frame.AddrStack.Offset == lastStack) {
            stack->truncated = QStringLiteral("the walk repeated a frame");
            break;
        }
        lastStack = frame.AddrStack.Offset;
        if (!AddFrame(stack, pc))
            break;
        // A return address points past the call: look up the call itself.
        lookup->push_back(stack->frames.size() == 1 ? pc : pc - 1);
    }
}

// Stage 3: every thread of the target suspended, walked and resumed; the hold is as short as
// the walks. Returns duplicates of the thread handles for naming them afterwards.
QVector<HANDLE> SuspendAndWalk(const Target &target, StackCapture *capture,
                               QVector<QVector<uint64_t>> *lookups)
{
    QVector<HANDLE> handles;
    ThreadSuspender suspender;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
        THREADENTRY32 entry = {};
        entry.dwSize = sizeof(entry);
        for (BOOL more = Thread32First(snapshot, &entry); more;
             more = Thread32Next(snapshot, &entry)) {
            if (entry.th32OwnerProcessID != target.pid)
                continue;
            HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT |
                                           THREAD_QUERY_LIMITED_INFORMATION,
                                       FALSE, entry.th32ThreadID);
            if (thread)
                suspender.Add(entry.th32ThreadID, thread);
        }
        CloseHandle(snapshot);
    }
    for (const ThreadSuspender::Held &held : suspender.held()) {
        ThreadStack stack;
        stack.tid = held.tid;
        QVector<uint64_t> lookup;
        WalkThread(target, held.thread, &stack, &lookup);
        capture->threads.push_back(stack);
        lookups->push_back(lookup);
    }
    for (const ThreadSuspender::Held &held : suspender.held()) {
        HANDLE copy = nullptr;
        DuplicateHandle(GetCurrentProcess(), held.thread, GetCurrentProcess(), &copy, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
        handles.push_back(copy);
    }
    suspender.ResumeAll();
    capture->stoppedMs = suspender.stoppedMs();
    return handles;
}

// Stage 4: thread names need no suspended thread: read once all run again.
void NameThreads(const QVector<HANDLE> &handles, StackCapture *capture)
{
    for (int i = 0; i < handles.size(); ++i) {
        if (!handles[i])
            continue;
        if (i < capture->threads.size())
            capture->threads[i].name = ThreadName(handles[i]);
        CloseHandle(handles[i]);
    }
}

} // namespace

StackCapture CaptureStacks(unsigned long pid)
{
    StackCapture capture;
    Target target;
    if (!OpenAndExamine(static_cast<DWORD>(pid), &capture, &target))
        return capture;
    std::lock_guard<std::mutex> guard(g_symLock);
    if (!LoadSymbols(target, &capture))
        return capture;
    QVector<QVector<uint64_t>> lookups;
    NameThreads(SuspendAndWalk(target, &capture, &lookups), &capture);
    // Stage 5: the frames' names, each address once.
    QHash<uint64_t, CodeSymbol> cache;
    HANDLE process = target.process;
    ResolveFrames(&capture, lookups, &cache,
                  [process](uint64_t address) { return Resolve(process, address); });
    SymCleanup(process);
    FindLockOwners(&capture);
    capture.ok = true;
    return capture;
}
