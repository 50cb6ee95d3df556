#pragma once
// A process's memory map, read once per capture and parsed in one place: the hold, the module
// view and the unwinder all work from the same snapshot, so they agree even when the target
// maps or unmaps meanwhile.
#include <QByteArray>
#include <cstdint>
#include <sys/types.h>
#include <vector>

struct AddressRange {
    uint64_t start = 0, end = 0;
};

struct MapEntry {
    uint64_t start = 0, end = 0;
    bool read = false, write = false, exec = false;
    uint64_t offset = 0;
    dev_t dev = 0;
    uint64_t inode = 0;
    // As the map names it: a path (spaces and " (deleted)" included), "[stack]", or empty.
    QByteArray path;
    bool fileBacked() const { return inode != 0 && path.startsWith('/'); }
};

// "start-end perms offset major:minor inode   path" per line; lines that do not read so are
// left out.
std::vector<MapEntry> ParseMaps(const QByteArray &text);

struct MapsSnapshot {
    QByteArray text; // exactly what /proc/PID/maps gave
    std::vector<MapEntry> entries;

    static MapsSnapshot Read(long long pid);
    // The code that names frames: file-backed executable mappings, as one comparable value.
    QByteArray CodeSignature() const;
    // Whether the process has become another program: its first mapping is another.
    bool IsAnotherProgramThan(const MapsSnapshot &before) const;
    // The writable mappings, in address order (where stacks lie).
    std::vector<AddressRange> WritableRanges() const;
    const MapEntry *Find(const QByteArray &path) const; // its first mapping, or null
};
