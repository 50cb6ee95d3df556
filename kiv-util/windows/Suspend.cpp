#include "Suspend.h"

#include <QElapsedTimer>
#include <algorithm>

#include <tlhelp32.h>

namespace {

// THREAD_BASIC_INFORMATION, which not every SDK's headers declare.
struct ThreadBasics {
    LONG exitStatus;
    PVOID teb;
    PVOID process, thread; // CLIENT_ID
    ULONG_PTR affinity;
    LONG priority, basePriority;
};

template <typename F> F Lookup(const wchar_t *module, const char *name)
{
    HMODULE handle = GetModuleHandleW(module);
    return handle ? reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(handle, name)))
                  : nullptr;
}

bool ReadRemote(HANDLE process, uint64_t address, void *out, size_t size)
{
    SIZE_T got = 0;
    return ReadProcessMemory(process, reinterpret_cast<LPCVOID>(address), out, size, &got) &&
           got == size;
}

// The stack's base and limit from a TEB (its first fields are the NT_TIB: exception list,
// stack base, stack limit), taken when they make a stack.
bool ExtentFromTeb(HANDLE process, uint64_t teb, bool is32, StackExtent *extent)
{
    uint64_t base = 0, limit = 0;
    if (is32) {
        uint32_t tib[3] = {};
        if (!teb || !ReadRemote(process, teb, tib, sizeof(tib)))
            return false;
        base = tib[1];
        limit = tib[2];
    } else {
        uint64_t tib[3] = {};
        if (!teb || !ReadRemote(process, teb, tib, sizeof(tib)))
            return false;
        base = tib[1];
        limit = tib[2];
    }
    if (limit == 0 || limit >= base)
        return false;
    *extent = {limit, base};
    return true;
}

uint64_t TebOf(HANDLE thread)
{
    using Query = LONG(WINAPI *)(HANDLE, int, PVOID, ULONG, PULONG);
    static const auto query = Lookup<Query>(L"ntdll.dll", "NtQueryInformationThread");
    ThreadBasics basics = {};
    if (!query ||
        query(thread, 0 /* ThreadBasicInformation */, &basics, sizeof(basics), nullptr) != 0)
        return 0;
    return reinterpret_cast<uint64_t>(basics.teb);
}

// The reservation the stack lies in begins below its limit: all of it is stack.
void ToReservation(HANDLE process, StackExtent *extent)
{
    MEMORY_BASIC_INFORMATION region = {};
    if (extent->high > extent->low &&
        VirtualQueryEx(process, reinterpret_cast<LPCVOID>(extent->high - 1), &region,
                       sizeof(region)) &&
        region.AllocationBase && reinterpret_cast<uint64_t>(region.AllocationBase) < extent->low)
        extent->low = reinterpret_cast<uint64_t>(region.AllocationBase);
}

// Where a thread's stack lies: its TEB's stack base and limit (for a 32-bit thread of a WOW64
// target, its 32-bit TEB's, which 64-bit Windows keeps 8 KiB above the 64-bit one, and which
// its FS segment points at). They do not change while the thread lives, so they are read
// before the hold.
StackExtent ExtentOf(const Target &target, HANDLE thread)
{
    HANDLE process = target.process.get();
    const uint64_t teb = TebOf(thread);
    StackExtent extent;
    bool found = false;
#if defined(_WIN64)
    if (target.wow64) {
        found = ExtentFromTeb(process, teb + 0x2000, true, &extent) ||
                ExtentFromTeb(process, teb, true, &extent);
    } else {
        found = ExtentFromTeb(process, teb, false, &extent);
    }
#else
    found = ExtentFromTeb(process, teb, true, &extent);
#endif
    if (found)
        ToReservation(process, &extent);
    return found ? extent : StackExtent();
}

// Without a TEB that holds the stack pointer: the segment the FS register of a 32-bit thread
// points at (a WOW64 thread's TEB), else the memory region that holds the stack pointer.
StackExtent ExtentAtStackPointer(const Target &target, const ThreadCopy &copy)
{
    HANDLE process = target.process.get();
    StackExtent extent;
#if defined(_WIN64)
    using Selector = BOOL(WINAPI *)(HANDLE, DWORD, PLDT_ENTRY);
    static const auto selector = Lookup<Selector>(L"kernel32.dll", "Wow64GetThreadSelectorEntry");
    LDT_ENTRY entry = {};
    if (target.wow64 && selector && selector(copy.thread.get(), copy.wow64.SegFs, &entry)) {
        const uint64_t fs = entry.BaseLow | (uint64_t(entry.HighWord.Bytes.BaseMid) << 16) |
                            (uint64_t(entry.HighWord.Bytes.BaseHi) << 24);
        if (ExtentFromTeb(process, fs, true, &extent) && extent.Holds(copy.stackPointer)) {
            ToReservation(process, &extent);
            return extent;
        }
    }
#endif
    MEMORY_BASIC_INFORMATION region = {};
    if (VirtualQueryEx(process, reinterpret_cast<LPCVOID>(copy.stackPointer), &region,
                       sizeof(region)) &&
        region.State == MEM_COMMIT)
        extent = {reinterpret_cast<uint64_t>(region.AllocationBase),
                  reinterpret_cast<uint64_t>(region.BaseAddress) + region.RegionSize};
    return extent.Holds(copy.stackPointer) ? extent : StackExtent();
}

// Registers of a suspended thread (its 32-bit ones for a WOW64 target).
bool TakeRegisters(const Target &target, ThreadCopy *copy)
{
    HANDLE thread = copy->thread.get();
#if defined(_WIN64)
    if (target.wow64) {
        copy->wow64.ContextFlags = WOW64_CONTEXT_FULL | WOW64_CONTEXT_SEGMENTS;
        if (!Wow64GetThreadContext(thread, &copy->wow64))
            return false;
        copy->machine = IMAGE_FILE_MACHINE_I386;
        copy->pc = copy->wow64.Eip;
        copy->framePointer = copy->wow64.Ebp;
        copy->stackPointer = copy->wow64.Esp;
        return true;
    }
#endif
    copy->native.ContextFlags = CONTEXT_FULL;
    if (!GetThreadContext(thread, &copy->native))
        return false;
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
    (void)target;
    return true;
}

// The stack from the stack pointer up to its base, within the budget: what a read leaves
// unfilled goes back to the pool. A stack pointer in no stack has nothing to copy and costs
// nothing.
void CopyStack(const Target &target, StackExtent extent, bool mainThread, uint64_t *poolLeft,
               ThreadCopy *copy)
{
    const uint64_t sp = copy->stackPointer;
    if (!extent.Holds(sp))
        extent = ExtentAtStackPointer(target, *copy);
    copy->stack.start = sp;
    copy->stack.low = extent.low;
    copy->stack.high = extent.high;
    if (!extent.Holds(sp))
        return;
    const uint64_t own = mainThread ? stackbudget::kMainThread : stackbudget::kThread;
    const uint64_t granted = stackbudget::Grant(extent.high - sp, own, poolLeft);
    copy->stack.bytes.resize(granted);
    SIZE_T got = 0;
    if (!ReadProcessMemory(target.process.get(), reinterpret_cast<LPCVOID>(sp),
                           copy->stack.bytes.data(), granted, &got))
        got = std::min<SIZE_T>(got, granted); // a partial copy keeps what it read
    stackbudget::GiveBack(granted, got, own, poolLeft);
    copy->stack.bytes.resize(got);
}

// Why a thread that could not be opened or suspended is left out: ended, or refused.
LeftThread Refused(DWORD tid, DWORD error, HANDLE thread)
{
    DWORD code = 0;
    const bool ended = error == ERROR_INVALID_PARAMETER ||
                       (thread && GetExitCodeThread(thread, &code) && code != STILL_ACTIVE);
    return {tid, ended ? LeftOut::Ended : LeftOut::Refused, ended ? 0 : error};
}

std::vector<DWORD> ThreadsOf(DWORD pid, DWORD *error)
{
    std::vector<DWORD> tids;
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot) {
        *error = GetLastError();
        return tids;
    }
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot.get(), &entry); more;
         more = Thread32Next(snapshot.get(), &entry))
        if (entry.th32OwnerProcessID == pid)
            tids.push_back(entry.th32ThreadID);
    return tids;
}

} // namespace

HoldResult HoldAndCopy(const Target &target, int stopWithinMs, QHash<DWORD, StackExtent> *extents)
{
    HoldResult result;
    // Before the hold: the thread list, a handle to each, and where each one's stack lies (for
    // threads not seen by an earlier capture of the process).
    const std::vector<DWORD> tids = ThreadsOf(target.pid, &result.listError);
    std::vector<ThreadCopy> threads;
    threads.reserve(tids.size());
    QHash<DWORD, StackExtent> seen;
    for (DWORD tid : tids) {
        ThreadCopy copy;
        copy.tid = tid;
        copy.thread = UniqueHandle(OpenThread(
            THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION, FALSE, tid));
        if (!copy.thread) {
            result.left.push_back(Refused(tid, GetLastError(), nullptr));
            continue;
        }
        const StackExtent known = extents->value(tid);
        seen.insert(tid, known.low < known.high ? known : ExtentOf(target, copy.thread.get()));
        threads.push_back(std::move(copy));
    }
    *extents = seen; // threads that ended are forgotten

    // Suspended and copied until two thirds of the deadline; the rest is for resuming them all.
    const double takeUntil = stopWithinMs * 2.0 / 3;
    QElapsedTimer held;
    std::vector<ThreadCopy> suspended;
    suspended.reserve(threads.size());
    for (ThreadCopy &copy : threads) {
        if (held.isValid() && held.nsecsElapsed() / 1e6 >= takeUntil) {
            result.left.push_back({copy.tid, LeftOut::NotReached, 0});
            continue;
        }
        if (!held.isValid())
            held.start(); // the hold begins with the first suspension
        if (SuspendThread(copy.thread.get()) == static_cast<DWORD>(-1)) {
            result.left.push_back(Refused(copy.tid, GetLastError(), copy.thread.get()));
            continue;
        }
        suspended.push_back(std::move(copy));
    }
    // Every thread is held now: the copies see them all at one moment. Each goes free once
    // copied; whatever happens, none stays suspended.
    struct ResumeRest {
        std::vector<ThreadCopy> &threads;
        size_t next = 0;
        ~ResumeRest()
        {
            for (; next < threads.size(); ++next)
                ResumeThread(threads[next].thread.get());
        }
    } rest{suspended};
    uint64_t pool = stackbudget::kPool;
    for (; rest.next < suspended.size(); ++rest.next) {
        ThreadCopy &copy = suspended[rest.next];
        if (held.nsecsElapsed() / 1e6 >= takeUntil) {
            ResumeThread(copy.thread.get());
            result.left.push_back({copy.tid, LeftOut::NotReached, 0});
            continue;
        }
        if (!TakeRegisters(target, &copy)) {
            copy.error = GetLastError();
        } else {
            const bool mainThread = copy.tid == tids.front();
            CopyStack(target, seen.value(copy.tid), mainThread, &pool, &copy);
        }
        ResumeThread(copy.thread.get());
        result.copied.push_back(std::move(copy));
    }
    if (held.isValid())
        result.heldMs = held.nsecsElapsed() / 1e6;
    DWORD code = 0;
    result.targetEnded = GetExitCodeProcess(target.process.get(), &code) && code != STILL_ACTIVE;
    return result;
}
