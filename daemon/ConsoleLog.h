#pragma once
// The daemon's log lines on its standard output and error, in the logging library's own
// layout ("info: ...", "error: ..." on standard error), written so that a reader that stalls
// or goes away costs lines and never stops the watch. Dropped lines are counted and reported
// once output flows again.
#include <cstdarg>

// Replaces the library's default handler with ConsoleLogHandler; call first thing.
void InstallConsoleLog();
void ConsoleLogHandler(int level, const char *format, va_list args, void *param);
