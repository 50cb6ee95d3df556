#pragma once
// Linux: the files libdw reads for a target's modules.
//
// A module file is opened as the target maps it (through /proc/PID/map_files, or by its path
// in the target's root when the device and inode match the mapping), never by a name that may
// lead elsewhere. A debug file is found as for any process; an inflated copy of the sections
// that unwinding and naming need is kept in memory for every later target that finds that very
// same file, within a bound per file and in all.
#include <QByteArray>
#include <QStringList>
#include <elfutils/libdwfl.h>

const Dwfl_Callbacks *ModuleFileCallbacks();
// The target whose modules are reported next, and the text of its /proc/PID/maps.
void SetModuleView(long long pid, const QByteArray &maps);
// What was left out since the last call (a debug file skipped, and why), in words.
QStringList TakeDebugFileNotes();
// Bytes of memory the kept debug-file copies take.
unsigned long long DebugFileCacheBytes();
