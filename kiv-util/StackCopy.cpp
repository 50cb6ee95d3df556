#include "StackCopy.h"

#include <algorithm>
#include <cstring>

bool StackCopy::Holds(uint64_t address, uint64_t size) const
{
    if (address < start)
        return false;
    const uint64_t at = address - start;
    return at <= bytes.size() && size <= bytes.size() - at;
}

bool StackCopy::InStack(uint64_t address) const
{
    return address >= low && address < high;
}

StackCopy::Read StackCopy::ReadAt(uint64_t address, void *out, size_t size) const
{
    if (Holds(address, size)) {
        if (size > 0)
            std::memcpy(out, bytes.data() + (address - start), size);
        return Read::Copied;
    }
    // Any part of the range in the stack makes it the stack's: the range ends past the copy,
    // or begins below it, and what lies there is what the thread may have overwritten since.
    const uint64_t last =
        size > 0 && address <= UINT64_MAX - (size - 1) ? address + (size - 1) : address;
    if (InStack(address) || InStack(last) || (address < low && last >= high && low < high))
        return Read::BeyondCopy;
    return Read::NotStack;
}

namespace stackbudget {

uint64_t Grant(uint64_t wanted, uint64_t own, uint64_t *poolLeft)
{
    const uint64_t granted = std::min({wanted, kMaxPerThread, own + *poolLeft});
    *poolLeft -= granted > own ? granted - own : 0;
    return granted;
}

void GiveBack(uint64_t granted, uint64_t used, uint64_t own, uint64_t *poolLeft)
{
    // Only what was drawn from the pool goes back to it.
    const uint64_t drawn = granted > own ? granted - own : 0;
    const uint64_t needed = used > own ? used - own : 0;
    *poolLeft += drawn > needed ? drawn - needed : 0;
}

} // namespace stackbudget
