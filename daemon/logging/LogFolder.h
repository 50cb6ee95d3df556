#pragma once
// Reading log file names back as numbers, finding the newest log of earlier runs and pruning
// the oldest. Folders are relative to the per-user configuration folder.
#include <cstdint>

// "2026-12-07 11-32-28.txt" -> 20261207113228; 0 when the name is not a log name (or its
// digits do not fit in 64 bits).
uint64_t LogNameToNumber(const char *name);
// Scans "kiv-studio/logs" and remembers the newest log as the previous log name.
void FindNewestLog();
// Removes the oldest log of folder when it holds more than the maximum; at most one a call.
// A live log (this process's, or one another process holds) stays: the oldest of the others
// goes instead.
void PruneOldestLog(const char *folder);
void SetMaxLogFiles(uint32_t count);
// The newest log found by the last FindNewestLog that found one; "" before that.
const char *PreviousLogFileName();
// The log file the set-up has open (bare name); PruneOldestLog never removes it.
void SetLiveLogName(const char *name);
const char *LiveLogName();
