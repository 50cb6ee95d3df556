#pragma once
// The read-only memory of a target's modules (code, unwind tables), read a page at a time and
// kept: the walker reads code a byte at a time, and every read of another process's memory
// costs a round trip to the system (to wineserver under Wine), thousands a capture otherwise.
// Writable memory is never kept: it is read anew each time.
#include <windows.h>

#include <QByteArray>
#include <QHash>
#include <cstdint>
#include <map>

class ImageMemory {
public:
    // Reads size bytes at address from the kept pages, reading pages not kept yet; false when
    // any of them is not read-only module memory (the caller reads it from the process).
    bool Read(HANDLE process, uint64_t address, void *out, size_t size);
    void Clear();

private:
    struct Region {
        uint64_t end = 0;
        bool kept = false; // read-only memory of a module's image
    };
    bool Keepable(HANDLE process, uint64_t page);

    std::map<uint64_t, Region> regions_; // by start
    QHash<uint64_t, QByteArray> pages_;  // by address
};
