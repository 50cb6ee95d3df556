#pragma once
// A thread's stack as it was while the target was held, for both back ends: the bytes copied
// from its stack pointer upwards, the stack's whole extent, and what each thread's copy may
// take. The walkers read stack memory through it only: a word of a stack that is not in its
// copy is never read from the live process, where a running thread has overwritten it since.
#include <cstddef>
#include <cstdint>
#include <vector>

struct StackCopy {
    uint64_t start = 0; // the address of bytes[0]
    std::vector<uint8_t> bytes;
    // The stack's extent (its mapping, or the reservation the system made for it); empty
    // (low == high) when not known.
    uint64_t low = 0, high = 0;

    enum class Read {
        Copied,     // read from the copy
        BeyondCopy, // a part of the stack that was not copied: not to be read anywhere else
        NotStack,   // outside the stack altogether
    };
    // Reads size bytes at address into out. The checks are made by differences only, so an
    // address near the top of the address space never wraps past them.
    Read ReadAt(uint64_t address, void *out, size_t size) const;
    // Whether [address, address + size) lies in the copy; a read of 0 bytes anywhere from its
    // start to its end does.
    bool Holds(uint64_t address, uint64_t size) const;
    bool InStack(uint64_t address) const;
    uint64_t end() const { return start + bytes.size(); }
};

// How much of a stack is copied: a slice of its own for each thread (more for the main thread,
// whose stack runs deep), then a pool that all threads of a capture share, up to a cap each.
// A stack deeper than what it got ends its walk at the copy's edge.
namespace stackbudget {
constexpr uint64_t kMainThread = 512 * 1024;
constexpr uint64_t kThread = 64 * 1024;
constexpr uint64_t kPool = 64ull << 20;
constexpr uint64_t kMaxPerThread = 8ull << 20; // the usual limit of a stack (ulimit -s)

// The bytes a copy of wanted bytes may take, the part beyond own drawn from *poolLeft. Only
// what can really be copied is to be asked for: a range outside any stack costs nothing.
uint64_t Grant(uint64_t wanted, uint64_t own, uint64_t *poolLeft);
// What a copy granted granted bytes and filling only used of them gives back to the pool.
void GiveBack(uint64_t granted, uint64_t used, uint64_t own, uint64_t *poolLeft);
} // namespace stackbudget
