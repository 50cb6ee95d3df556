#include "WaitChains.h"

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

// What the wait chain of one thread says of the lock it waits for.
void DescribeWait(HWCT session, Chain chain, long long pid, ThreadStack *thread)
{
    WAITCHAIN_NODE_INFO nodes[WCT_MAX_NODE_COUNT] = {};
    DWORD count = WCT_MAX_NODE_COUNT;
    BOOL cycle = FALSE;
    // The thread itself, what it waits for, and who owns that.
    if (!chain(session, 0, 0, static_cast<DWORD>(thread->tid), &count, nodes, &cycle) || count < 2)
        return;
    const WCT_OBJECT_TYPE type = nodes[1].ObjectType;
    if (type != WctCriticalSectionType && type != WctMutexType)
        return;
    thread->lockKind = type == WctMutexType ? LockKind::Mutex : LockKind::CriticalSection;
    if (count >= 3 && nodes[2].ObjectType == WctThreadType &&
        nodes[2].ThreadObject.ProcessId == static_cast<DWORD>(pid) &&
        nodes[2].ThreadObject.ThreadId != static_cast<DWORD>(thread->tid))
        thread->lockOwner = nodes[2].ThreadObject.ThreadId;
}

} // namespace

void FindLockOwners(StackCapture *capture)
{
    HMODULE advapi = GetModuleHandleW(L"advapi32.dll");
    if (!advapi)
        advapi = LoadLibraryW(L"advapi32.dll");
    const auto open = Lookup<Open>(advapi, "OpenThreadWaitChainSession");
    const auto close = Lookup<Close>(advapi, "CloseThreadWaitChainSession");
    const auto chain = Lookup<Chain>(advapi, "GetThreadWaitChain");
    HWCT session = open && close && chain ? open(0, nullptr) : nullptr;
    if (!session)
        return;
    for (ThreadStack &thread : capture->threads)
        DescribeWait(session, chain, capture->pid, &thread);
    close(session);
}
