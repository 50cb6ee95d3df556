#include "Suspend.h"

#include <QElapsedTimer>
#include <QVector>
#include <algorithm>

#include <tlhelp32.h>

namespace {

constexpr uint64_t kStackCopy = 256 * 1024; // from the stack pointer up, within its region

// Holds the target's threads suspended; resumes every one of them when destroyed, on every
// path out of the capture.
class ThreadSuspender {
public:
    ~ThreadSuspender() { ResumeAll(); }

    void Add(DWORD tid, UniqueHandle thread)
    {
        if (!timer_.isValid())
            timer_.start(); // the hold begins with the first suspension
        if (SuspendThread(thread.get()) == static_cast<DWORD>(-1))
            return;
        held_.push_back({tid, std::move(thread)});
    }

    void ResumeAll()
    {
        for (const Held &held : held_)
            ResumeThread(held.thread.get());
        if (!held_.empty())
            stoppedMs_ = timer_.nsecsElapsed() / 1e6;
        held_.clear();
    }

    struct Held {
        DWORD tid;
        UniqueHandle thread;
    };
    std::vector<Held> &held() { return held_; }
    double stoppedMs() const { return stoppedMs_; }

private:
    QElapsedTimer timer_;
    std::vector<Held> held_;
    double stoppedMs_ = 0;
};

void CopyStack(const Target &target, ThreadCopy *copy)
{
    MEMORY_BASIC_INFORMATION region = {};
    if (!VirtualQueryEx(target.process.get(), reinterpret_cast<LPCVOID>(copy->stackPointer),
                        &region, sizeof(region)))
        return;
    const uint64_t end = reinterpret_cast<uint64_t>(region.BaseAddress) + region.RegionSize;
    const uint64_t to = std::min(end, copy->stackPointer + kStackCopy);
    if (to <= copy->stackPointer)
        return;
    copy->stack.resize(to - copy->stackPointer);
    SIZE_T got = 0;
    ReadProcessMemory(target.process.get(), reinterpret_cast<LPCVOID>(copy->stackPointer),
                      copy->stack.data(), copy->stack.size(), &got);
    copy->stack.resize(got);
    copy->stackStart = copy->stackPointer;
}

// Registers of a suspended thread (its 32-bit ones for a WOW64 target) and its stack.
void CopyThread(const Target &target, HANDLE thread, ThreadCopy *copy)
{
#if defined(_WIN64)
    if (target.wow64) {
        copy->wow64.ContextFlags = WOW64_CONTEXT_FULL;
        if (!Wow64GetThreadContext(thread, &copy->wow64)) {
            copy->error = GetLastError();
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
    if (!GetThreadContext(thread, &copy->native)) {
        copy->error = GetLastError();
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

} // namespace

std::vector<ThreadCopy> SuspendAndCopy(const Target &target, double *stoppedMs)
{
    ThreadSuspender suspender;
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (snapshot) {
        THREADENTRY32 entry = {};
        entry.dwSize = sizeof(entry);
        for (BOOL more = Thread32First(snapshot.get(), &entry); more;
             more = Thread32Next(snapshot.get(), &entry)) {
            if (entry.th32OwnerProcessID != target.pid)
                continue;
            UniqueHandle thread(OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT |
                                               THREAD_QUERY_LIMITED_INFORMATION,
                                           FALSE, entry.th32ThreadID));
            if (thread)
                suspender.Add(entry.th32ThreadID, std::move(thread));
        }
    }
    std::vector<ThreadCopy> copies(suspender.held().size());
    for (size_t i = 0; i < copies.size(); ++i) {
        ThreadSuspender::Held &held = suspender.held()[i];
        copies[i].tid = held.tid;
        CopyThread(target, held.thread.get(), &copies[i]);
        // The suspender's handle goes as it resumes; the walk and the name need one after.
        HANDLE duplicate = nullptr;
        if (DuplicateHandle(GetCurrentProcess(), held.thread.get(), GetCurrentProcess(), &duplicate,
                            0, FALSE, DUPLICATE_SAME_ACCESS))
            copies[i].thread = UniqueHandle(duplicate);
    }
    suspender.ResumeAll();
    *stoppedMs = suspender.stoppedMs();
    return copies;
}
