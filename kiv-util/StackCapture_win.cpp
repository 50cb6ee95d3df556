// Windows back end: the target's modules and their symbols loaded first, then the Toolhelp
// thread list, every thread suspended, each walked with StackWalk64, every one resumed, and only
// then thread names and the names and lines of the frames.
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

} // namespace

StackCapture CaptureStacks(unsigned long pid)
{
    StackCapture capture;
    capture.pid = static_cast<long long>(pid);
    if (pid == GetCurrentProcessId()) {
        capture.error = QStringLiteral("Process %1 is this viewer itself; a process cannot "
                                       "suspend its own threads to look at them.")
                            .arg(pid);
        return capture;
    }
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (!process) {
        const DWORD error = GetLastError();
        if (error == ERROR_INVALID_PARAMETER)
            capture.error = QStringLiteral("There is no process with id %1.").arg(pid);
        else if (error == ERROR_ACCESS_DENIED)
            capture.error = QStringLiteral("Access denied: process %1 belongs to another user, "
                                           "runs elevated or is protected; run the viewer as "
                                           "administrator.")
                                .arg(pid);
        else
            capture.error = QStringLiteral("Process %1 cannot be opened: %2")
                                .arg(pid)
                                .arg(SystemMessage(error));
        return capture;
    }

    wchar_t image[MAX_PATH * 4] = {};
    DWORD imageLen = MAX_PATH * 4;
    if (QueryFullProcessImageNameW(process, 0, image, &imageLen))
        capture.processName =
            QFileInfo(QString::fromWCharArray(image, static_cast<int>(imageLen))).fileName();
    DWORD exitCode = 0;
    BOOL wow64 = FALSE;
    if (GetExitCodeProcess(process, &exitCode) && exitCode != STILL_ACTIVE) {
        capture.error = QStringLiteral("Process %1 has exited; it has no stacks left.").arg(pid);
    } else if (IsWow64Process(process, &wow64) && wow64) {
        capture.error = QStringLiteral("Process %1 is a 32-bit program; this viewer walks 64-bit "
                                       "stacks only.")
                            .arg(pid);
    }
    if (!capture.error.isEmpty()) {
        CloseHandle(process);
        return capture;
    }

    std::lock_guard<std::mutex> guard(g_symLock);
    // No deferred loads: every module's symbols are read here, before any thread is suspended,
    // so the walk under suspension finds its unwind tables ready.
    SymSetOptions(SYMOPT_UNDNAME | SYMOPT_LOAD_LINES | SYMOPT_FAIL_CRITICAL_ERRORS);
    if (!SymInitializeW(process, nullptr, TRUE)) {
        capture.error = QStringLiteral("The symbol handler could not start for process %1: %2")
                            .arg(pid)
                            .arg(SystemMessage(GetLastError()));
        CloseHandle(process);
        return capture;
    }

    QVector<QVector<uint64_t>> lookups;
    {
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
        ThreadSuspender suspender;
        if (snapshot != INVALID_HANDLE_VALUE) {
            THREADENTRY32 entry = {};
            entry.dwSize = sizeof(entry);
            for (BOOL more = Thread32First(snapshot, &entry); more;
                 more = Thread32Next(snapshot, &entry)) {
                if (entry.th32OwnerProcessID != pid)
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
            CONTEXT context = {};
            context.ContextFlags = CONTEXT_FULL;
            if (!GetThreadContext(held.thread, &context)) {
                stack.truncated = SystemMessage(GetLastError());
            } else {
                STACKFRAME64 frame = {};
                frame.AddrPC.Offset = context.Rip;
                frame.AddrPC.Mode = AddrModeFlat;
                frame.AddrFrame.Offset = context.Rbp;
                frame.AddrFrame.Mode = AddrModeFlat;
                frame.AddrStack.Offset = context.Rsp;
                frame.AddrStack.Mode = AddrModeFlat;
                while (StackWalk64(IMAGE_FILE_MACHINE_AMD64, process, held.thread, &frame, &context,
                                   nullptr, SymFunctionTableAccess64, SymGetModuleBase64,
                                   nullptr)) {
                    if (frame.AddrPC.Offset == 0)
                        break;
                    const uint64_t pc = frame.AddrPC.Offset;
                    if (!AddFrame(&stack, pc))
                        break;
                    // A return address points past the call: look up the call itself.
                    lookup.push_back(stack.frames.size() == 1 ? pc : pc - 1);
                }
            }
            capture.threads.push_back(stack);
            lookups.push_back(lookup);
        }
        // Thread names need no suspended thread: they are read once all run again.
        QVector<HANDLE> handles;
        for (const ThreadSuspender::Held &held : suspender.held()) {
            HANDLE copy = nullptr;
            DuplicateHandle(GetCurrentProcess(), held.thread, GetCurrentProcess(), &copy, 0, FALSE,
                            DUPLICATE_SAME_ACCESS);
            handles.push_back(copy);
        }
        suspender.ResumeAll();
        capture.stoppedMs = suspender.stoppedMs();
        for (int i = 0; i < handles.size() && i < capture.threads.size(); ++i) {
            if (handles[i]) {
                capture.threads[i].name = ThreadName(handles[i]);
                CloseHandle(handles[i]);
            }
        }
    }

    // Every thread runs again; now the names.
    QHash<uint64_t, CodeSymbol> cache;
    ResolveFrames(&capture, lookups, &cache,
                  [process](uint64_t address) { return Resolve(process, address); });
    SymCleanup(process);
    CloseHandle(process);
    FindLockOwners(&capture);
    capture.ok = true;
    return capture;
}
