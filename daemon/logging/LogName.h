#pragma once
// The file log's names, written and read back in one place. A log is named after the second of
// its set-up, "2026-12-07 11-32-28.txt"; another log of the same second takes a number,
// "2026-12-07 11-32-28 (1).txt" up to "(99)", which reads back as the same second.
#include <cstdint>
#include <ctime>
#include <string>

// Numbers a second may take beside its plain name.
constexpr int kLogNamesPerSecond = 100;

// "YYYY-MM-DD hh-mm-ss.<extension>" for local, or with " (n)" before the extension for n > 0.
std::string LogName(const struct tm &local, int n, const char *extension);
// The same name with number n (0: the plain one), its extension kept.
std::string NumberedLogName(const std::string &plain, int n);

// "2026-12-07 11-32-28.txt" -> 20261207113228 (a number makes no difference); 0 when the name
// is not a log name (or its digits do not fit in 64 bits).
uint64_t LogNameToNumber(const char *name);

// The bare name of the log this process writes to now; "" while it has none. The file log sets
// it, and pruning never removes that file.
void SetLiveLogName(const std::string &name);
const char *LiveLogName();
