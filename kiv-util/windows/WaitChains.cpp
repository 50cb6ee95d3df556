#include "WaitChains.h"

#include <QHash>
#include <QSet>
#include <cstring>

#include <windows.h>

#include <wct.h>

#ifndef WCT_MAX_NODE_COUNT
#define WCT_MAX_NODE_COUNT 16 // not in every SDK's wct.h
#endif

namespace {

using Open = HWCT(WINAPI *)(DWORD, PWAITCHAINCALLBACK);
using Close = VOID(WINAPI *)(HWCT);
using Chain = BOOL(WINAPI *)(HWCT, DWORD_PTR, DWORD, DWORD, LPDWORD, PWAITCHAIN_NODE_INFO, LPBOOL);

template <typename F> F Lookup(HMODULE module, const char *name)
{
    return reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

// What the wait chain of one thread says of the lock it waits for; false when it did not answer.
bool DescribeWait(HWCT session, Chain chain, long long pid, ThreadStack *thread)
{
    WAITCHAIN_NODE_INFO nodes[WCT_MAX_NODE_COUNT] = {};
    DWORD count = WCT_MAX_NODE_COUNT;
    BOOL cycle = FALSE;
    // The thread itself, what it waits for, and who owns that.
    if (!chain(session, 0, 0, static_cast<DWORD>(thread->tid), &count, nodes, &cycle))
        return false;
    if (count < 2)
        return true;
    const WCT_OBJECT_TYPE type = nodes[1].ObjectType;
    if (type != WctCriticalSectionType && type != WctMutexType)
        return true;
    thread->lockKind = type == WctMutexType ? LockKind::Mutex : LockKind::CriticalSection;
    if (count >= 3 && nodes[2].ObjectType == WctThreadType &&
        nodes[2].ThreadObject.ProcessId == static_cast<DWORD>(pid) &&
        nodes[2].ThreadObject.ThreadId != static_cast<DWORD>(thread->tid))
        thread->lockOwner = nodes[2].ThreadObject.ThreadId;
    return true;
}

// Functions of the system's critical-section lock path, as their modules name them.
bool LocksCriticalSection(const QString &function)
{
    static const QSet<QString> kLockPath = {
        QStringLiteral("RtlEnterCriticalSection"),
        QStringLiteral("EnterCriticalSection"),
        QStringLiteral("RtlpEnterCriticalSectionContended"),
        QStringLiteral("RtlpWaitOnCriticalSection"),
        QStringLiteral("RtlpWaitForCriticalSection"),
    };
    return kLockPath.contains(function);
}

bool SystemModule(const QString &module)
{
    static const QSet<QString> kSystem = {QStringLiteral("ntdll.dll"),
                                          QStringLiteral("kernel32.dll"),
                                          QStringLiteral("kernelbase.dll")};
    return kSystem.contains(module.toLower());
}

// Reads size bytes at address of the process, never of a thread's stack: what looks like a
// critical section there is a list of waiters (Wine keeps one on its waiters' stacks, each
// node pointing at the next one and back, as a section's debug record does).
bool ReadTarget(HANDLE process, const std::vector<ThreadCopy> &copies, uint64_t address, void *out,
                size_t size)
{
    for (const ThreadCopy &copy : copies)
        if (copy.stack.InStack(address) || copy.stack.Holds(address, 1))
            return false;
    SIZE_T got = 0;
    return ReadProcessMemory(process, reinterpret_cast<LPCVOID>(address), out, size, &got) &&
           got == size;
}

// The thread holding the critical section at address, when the bytes there are one: held (a
// recursion count), by a thread of the process other than the waiter, and, where it has a debug
// record, that record points back at it. 0 when they are not.
long long CriticalSectionOwner(HANDLE process, bool is32, const std::vector<ThreadCopy> &copies,
                               uint64_t address, long long waiter, const QSet<long long> &threads,
                               bool *strong)
{
    const size_t pointer = is32 ? 4 : 8;
    uint8_t bytes[40] = {};
    if (address % pointer != 0 || address < 0x10000 ||
        !ReadTarget(process, copies, address, bytes, is32 ? 24 : 40))
        return 0;
    uint64_t debug = 0, owner = 0;
    int32_t recursion = 0;
    std::memcpy(&debug, bytes, pointer);
    std::memcpy(&recursion, bytes + pointer + 4, 4);
    std::memcpy(&owner, bytes + pointer + 8, pointer);
    const long long tid = static_cast<long long>(owner);
    if (recursion < 1 || tid == 0 || tid == waiter || !threads.contains(tid))
        return 0;
    const uint64_t none = is32 ? 0xffffffffull : ~0ull;
    *strong = false;
    if (debug != 0 && debug != none) {
        // RTL_CRITICAL_SECTION_DEBUG: type and back-trace index (2 + 2 bytes, padded to a
        // pointer), then the section it belongs to.
        uint64_t back = 0;
        if (!ReadTarget(process, copies, debug + pointer, &back, pointer) || back != address)
            return 0;
        *strong = true;
    }
    return tid;
}

// The words of a thread's stack that its lock-path frames occupy: from its stack pointer to
// where the first frame outside the system's modules begins.
uint64_t LockPathEnd(const ThreadStack &thread, const ThreadCopy &copy, bool *inLockPath)
{
    *inLockPath = false;
    size_t physical = 0;
    for (const StackFrame &frame : thread.frames) {
        if (!SystemModule(frame.module))
            return physical < copy.frameStacks.size() ? copy.frameStacks[physical]
                                                      : copy.stack.end();
        *inLockPath = *inLockPath || LocksCriticalSection(frame.function);
        physical += !frame.inlined;
    }
    return copy.stack.end();
}

} // namespace

bool FindLockOwners(StackCapture *capture)
{
    HMODULE advapi = GetModuleHandleW(L"advapi32.dll");
    if (!advapi)
        advapi = LoadLibraryW(L"advapi32.dll");
    const auto open = Lookup<Open>(advapi, "OpenThreadWaitChainSession");
    const auto close = Lookup<Close>(advapi, "CloseThreadWaitChainSession");
    const auto chain = Lookup<Chain>(advapi, "GetThreadWaitChain");
    HWCT session = open && close && chain ? open(0, nullptr) : nullptr;
    if (!session)
        return false;
    int answered = 0, asked = 0;
    for (ThreadStack &thread : capture->threads) {
        if (thread.leftOut != LeftOut::No)
            continue;
        ++asked;
        answered += DescribeWait(session, chain, capture->pid, &thread);
    }
    close(session);
    return asked == 0 || answered > 0;
}

void FindCriticalSectionWaits(HANDLE process, bool is32Bit, const std::vector<ThreadCopy> &copies,
                              StackCapture *capture)
{
    QSet<long long> threads;
    for (const ThreadStack &thread : capture->threads)
        threads.insert(thread.tid);
    QHash<long long, const ThreadCopy *> copyOf;
    for (const ThreadCopy &copy : copies)
        copyOf.insert(copy.tid, &copy);
    const uint64_t pointer = is32Bit ? 4 : 8;
    for (ThreadStack &thread : capture->threads) {
        const ThreadCopy *copy = copyOf.value(thread.tid);
        bool inLockPath = false;
        // A 32-bit caller passes the section on its own stack, just past the lock path's frames.
        const uint64_t end =
            copy ? LockPathEnd(thread, *copy, &inLockPath) + (is32Bit ? 4 * pointer : 0) : 0;
        if (!copy || !inLockPath || thread.lockKind != LockKind::None)
            continue;
        // Every distinct word there that is a critical section held by another thread.
        QHash<uint64_t, long long> found;
        bool anyStrong = false;
        QSet<uint64_t> tried;
        for (uint64_t at = copy->stack.start; at + pointer <= end && at - copy->stack.start < 8192;
             at += pointer) {
            uint64_t word = 0;
            if (copy->stack.ReadAt(at, &word, pointer) != StackCopy::Read::Copied ||
                tried.contains(word))
                continue;
            tried.insert(word);
            bool strong = false;
            if (const long long owner = CriticalSectionOwner(process, is32Bit, copies, word,
                                                             thread.tid, threads, &strong)) {
                if (strong && !anyStrong)
                    found.clear(); // a section that vouches for itself outranks the others
                anyStrong = anyStrong || strong;
                if (strong || !anyStrong)
                    found.insert(word, owner);
            }
        }
        thread.lockKind = LockKind::CriticalSection;
        // Nothing is said rather than a guess between several.
        if (found.size() == 1) {
            thread.lockAddress = found.begin().key();
            thread.lockOwner = found.begin().value();
        } else {
            thread.lockUnknown = true;
        }
    }
}
