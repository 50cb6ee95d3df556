#pragma once
// Which file a module of the target is: the mappings that make it up, as libdwfl groups the
// memory map into modules (a run of mappings of one file: one path, one inode), and the
// build-id the process's own copy carries. A file is used for a module only when it is that
// file.
#include "Maps.h"

#include <QByteArray>
#include <QHash>
#include <cstdint>

struct ModuleView {
    MapEntry entry;               // its first mapping
    unsigned long long bytes = 0; // what its mappings take
    bool code = false;
    QByteArray buildId; // of the process's own copy; empty when it has none, or it is no code
};

// The file-backed modules of maps, by the address where each begins; build-ids read from the
// process's memory (pid), and kept only when the map did not change while they were read.
QHash<uint64_t, ModuleView> ModuleViews(long long pid, const MapsSnapshot &maps);

// Whether fd is the file of view: the inode the map names, and the device too, unless the
// build-id the process's own copy carries vouches for the file (btrfs gives stat another
// device than the map).
bool IsTheMappedFile(int fd, const ModuleView &view);
