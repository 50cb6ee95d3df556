#pragma once
// The daemon's standard output and error, as its log lines reach them.
//
// POSIX: SIGPIPE is ignored (a reader that went away costs lines, not the daemon), and writes
// never block: pipes and terminals are written through a non-blocking descriptor of their own,
// sockets with MSG_DONTWAIT; a line that does not fit now is reported as not written.
// Windows: WriteFile on the standard handles; a GUI-subsystem program usually has none, and a
// failed write raises nothing there.
#include <cstddef>

enum class SysStream { Out, Err };

// Once, before the first line is written.
void SysPrepareConsole();
// Writes the whole of data, or reports false; never waits for a reader.
bool SysConsoleWrite(SysStream stream, const char *data, size_t len);
