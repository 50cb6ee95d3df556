#pragma once
// The memory the tracer child and the viewer share (the tracer runs in the viewer's memory):
// what the viewer sets up beforehand, and what the tracer finds out about each thread. The
// tracer allocates nothing; it only touches what is here.
#include "Arch.h"
#include "Maps.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tracer {

// A thread's stack is copied from just below its stack pointer up to the end of its mapping:
// all of it, as it was while the thread was held, within the budget of StackCopy.h.
// The tracer's own stack, and how much longer than the hold it may take to seize and to end.
constexpr size_t kTracerStack = 256 * 1024;
constexpr int kTracerSpareMs = 850;

enum class Outcome : int { Pending, Copied, Ended, Refused, Busy, KernelWorker };

// One thread, as the tracer found it. The outcome is stored last, with release order, so a
// tracer killed half-way leaves nothing half-told.
struct Entry {
    long long tid;
    bool asked; // a stop was asked for
    int error;  // errno of a refused seize
    int signal; // a signal of the target's that arrived while held, handed back on release
    long long tracerTgid; // Busy: the process whose tracer held the thread
    char tracerName[32];
    bool jobStopped; // its stop was a group stop: it had been stopped before
    char wchan[48];  // where it slept just before the hold, if it did
    char name[20];   // its name (comm), read with its flags before the hold
    bool ioWorker;   // KernelWorker: one of io_uring's
    arch::Registers regs;
    uint64_t stackStart, stackOffset, stackLength;
    uint64_t stackLow, stackHigh; // its stack's mapping (or the range tried without one)
    uint64_t lockAddress; // a futex it sleeps on, 0 when none (or its words could not be read)
    uint32_t lockWords[arch::kMutexWords];
    std::atomic<int> outcome;

    Outcome Get() const { return static_cast<Outcome>(outcome.load(std::memory_order_acquire)); }
    void Set(Outcome to) { outcome.store(static_cast<int>(to), std::memory_order_release); }
};

// The head of the shared area; capacity entries follow it.
struct Shared {
    double startMs; // the first stop asked for; 0 when none was
    int count;
    int capacity;
    int seizeError;
    bool targetEnded;
    bool execed;
    uint64_t stackUsed;
    uint64_t stackCapacity;
    uint64_t poolLeft; // of stackbudget::kPool
    int lateStacks;    // stacks the deadline left unread

    Entry *entries() { return reinterpret_cast<Entry *>(reinterpret_cast<char *>(this) + Head()); }
    const Entry *entries() const
    {
        return reinterpret_cast<const Entry *>(reinterpret_cast<const char *>(this) + Head());
    }
    static constexpr size_t Head()
    {
        return (sizeof(Shared) + alignof(Entry) - 1) / alignof(Entry) * alignof(Entry);
    }
};

// Everything the tracer child needs, set up by the viewer beforehand.
struct Args {
    long long pid;
    int stopWithinMs;
    pid_t viewer;
    const AddressRange *maps; // writable mappings, in address order
    size_t mapCount;
    Shared *shared;
    uint8_t *stackArea;
    long long *known;  // capacity: thread ids seen so far, sorted
    long long *listed; // capacity: this round's listing
};

// The tracer child's entry point (clone): seizes, stops, copies, lets go, and ends.
int Main(void *args);

double NowMs();

} // namespace tracer
