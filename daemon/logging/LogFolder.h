#pragma once
// Reading log file names back as numbers, finding the newest log of earlier runs and pruning
// the oldest. Folders are relative to the per-user configuration folder.
#include "LogName.h"

#include <cstdint>
// Scans "kiv-studio/logs" and remembers the newest log as the previous log name.
void FindNewestLog();
// Removes the oldest log of folder when it holds more than the maximum; at most one a call.
// A live log (this process's, or one another process holds) stays: the oldest of the others
// goes instead.
void PruneOldestLog(const char *folder);
void SetMaxLogFiles(uint32_t count);
// The newest log found by the last FindNewestLog that found one; "" before that.
const char *PreviousLogFileName();
