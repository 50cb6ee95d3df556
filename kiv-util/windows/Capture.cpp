// Windows back end, in stages: open and examine the target; load its modules' symbols; suspend
// every thread of the Toolhelp list, copy each one's registers and live stack and resume them
// all; then walk the copies with StackWalk64, name the threads, resolve the frames and ask who
// owns the locks threads wait for.
//
// A 64-bit viewer walks 32-bit (WOW64) targets too, from their 32-bit context; a 32-bit viewer
// walks 32-bit targets only.
#include "StackCapture.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QHash>
#include <QVector>
#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

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

// What the walk needs of a thread, taken while it is suspended: its registers and the live part
// of its stack. Walking takes DbgHelp tens of milliseconds a thread (under Wine), so the walks
// run on these copies once every thread runs again, and the target is held only for the copying.
struct ThreadCopy {
    DWORD tid = 0;
    HANDLE thread = nullptr; // owned by the suspender until it resumes; a duplicate afterwards
    QString error;           // why there are no registers; empty when there are
    DWORD machine = 0;
    CONTEXT native = {};
#if defined(_WIN64)
    WOW64_CONTEXT wow64 = {};
#endif
    uint64_t pc = 0, framePointer = 0, stackPointer = 0;
    uint64_t stackStart = 0;
    std::vector<uint8_t> stack;
};

constexpr uint64_t kStackCopy = 256 * 1024; // from the stack pointer up, within its region

void CopyStack(const Target &target, ThreadCopy *copy)
{
    MEMORY_BASIC_INFORMATION region = {};
    if (!VirtualQueryEx(target.process, reinterpret_cast<LPCVOID>(copy->stackPointer), &region,
                        sizeof(region)))
        return;
    const uint64_t end = reinterpret_cast<uint64_t>(region.BaseAddress) + region.RegionSize;
    const uint64_t to = std::min(end, copy->stackPointer + kStackCopy);
    if (to <= copy->stackPointer)
        return;
    copy->stack.resize(to - copy->stackPointer);
    SIZE_T got = 0;
    ReadProcessMemory(target.process, reinterpret_cast<LPCVOID>(copy->stackPointer),
                      copy->stack.data(), copy->stack.size(), &got);
    copy->stack.resize(got);
    copy->stackStart = copy->stackPointer;
}

// Registers of a suspended thread (its 32-bit ones for a WOW64 target) and its stack.
void CopyThread(const Target &target, ThreadCopy *copy)
{
#if defined(_WIN64)
    if (target.wow64) {
        copy->wow64.ContextFlags = WOW64_CONTEXT_FULL;
        if (!Wow64GetThreadContext(copy->thread, &copy->wow64)) {
            copy->error = SystemMessage(GetLastError());
            return;
        }
        copy->machine = IMAGE_FILE_MACHINE_I386;
        copy->pc = copy->wow64.Eip;
        copy->framePointer = copy->wow64.Ebp;
        copy->stackPointer = copy->wow64.Esp;
        CopyStack(target, copy);
        return;
    }
#endif
    copy->native.ContextFlags = CONTEXT_FULL;
    if (!GetThreadContext(copy->thread, &copy->native)) {
        copy->error = SystemMessage(GetLastError());
        return;
    }
#if defined(_WIN64)
    copy->machine = IMAGE_FILE_MACHINE_AMD64;
    copy->pc = copy->native.Rip;
    copy->framePointer = copy->native.Rbp;
    copy->stackPointer = copy->native.Rsp;
#else
    copy->machine = IMAGE_FILE_MACHINE_I386;
    copy->pc = copy->native.Eip;
    copy->framePointer = copy->native.Ebp;
    copy->stackPointer = copy->native.Esp;
#endif
    CopyStack(target, copy);
}

const ThreadCopy *g_walking = nullptr; // the copy being walked; under g_symLock

// DbgHelp's memory reads during a walk: the stack from the copy, anything else (code, unwind
// data) from the process, where it does not change while a thread waits.
BOOL CALLBACK ReadMemory(HANDLE process, DWORD64 address, PVOID buffer, DWORD size, LPDWORD read)
{
    const ThreadCopy *copy = g_walking;
    if (copy && address >= copy->stackStart &&
        address + size <= copy->stackStart + copy->stack.size()) {
        std::memcpy(buffer, copy->stack.data() + (address - copy->stackStart), size);
        if (read)
            *read = size;
        return TRUE;
    }
    SIZE_T got = 0;
    const BOOL ok =
        ReadProcessMemory(process, reinterpret_cast<LPCVOID>(address), buffer, size, &got);
    if (read)
        *read = static_cast<DWORD>(got);
    return ok;
}

// One thread's frames, from its copy; lookup gets the address to name for each.
void WalkThread(const Target &target, ThreadCopy *copy, ThreadStack *stack,
                QVector<uint64_t> *lookup)
{
    if (!copy->error.isEmpty()) {
        stack->truncated = copy->error;
        return;
    }
    STACKFRAME64 frame = {};
    frame.AddrPC.Mode = frame.AddrFrame.Mode = frame.AddrStack.Mode = AddrModeFlat;
    frame.AddrPC.Offset = copy->pc;
    frame.AddrFrame.Offset = copy->framePointer;
    frame.AddrStack.Offset = copy->stackPointer;
    void *context = &copy->native;
#if defined(_WIN64)
    if (target.wow64)
        context = &copy->wow64;
#endif
    g_walking = copy;
    DWORD64 lastStack = 0;
    while (StackWalk64(copy->machine, target.process, copy->thread, &frame, context, ReadMemory,
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
    g_walking = nullptr;
}

// Stage 3: every thread of the target suspended, its registers and stack copied, all resumed;
// then each walked from its copy. Returns the thread handles (duplicates) for naming them.
QVector<HANDLE> SuspendAndWalk(const Target &target, StackCapture *capture,
                               QVector<QVector<uint64_t>> *lookups)
{
    std::vector<ThreadCopy> copies;
    {
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
        copies.resize(static_cast<size_t>(suspender.held().size()));
        for (int i = 0; i < suspender.held().size(); ++i) {
            ThreadCopy &copy = copies[static_cast<size_t>(i)];
            copy.tid = suspender.held()[i].tid;
            copy.thread = suspender.held()[i].thread;
            CopyThread(target, &copy);
            // The suspender closes its handles as it resumes: the walk and the names need one.
            HANDLE duplicate = nullptr;
            DuplicateHandle(GetCurrentProcess(), copy.thread, GetCurrentProcess(), &duplicate, 0,
                            FALSE, DUPLICATE_SAME_ACCESS);
            copy.thread = duplicate;
        }
        suspender.ResumeAll();
        capture->stoppedMs = suspender.stoppedMs();
    }
    QVector<HANDLE> handles;
    for (ThreadCopy &copy : copies) {
        ThreadStack stack;
        stack.tid = copy.tid;
        QVector<uint64_t> lookup;
        WalkThread(target, &copy, &stack, &lookup);
        capture->threads.push_back(stack);
        lookups->push_back(lookup);
        handles.push_back(copy.thread);
    }
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
