#pragma once
// What the file log needs from the system.
//
// Windows: OutputDebugStringA, IsDebuggerPresent, __debugbreak, localtime_s, and a wide-path
// stream open that shares reading and writing but not deletion.
// POSIX: standard error (a reader that went away raises no SIGPIPE), TracerPid of
// /proc/self/status, SIGTRAP that only a debugger stops at (a tracer that passes it on, such as
// strace or the stack viewer, leaves the process running), localtime_r, UTF-8 path.
#include <ctime>
#include <fstream>
#include <string>

void SysDebugOutput(const char *text);
bool SysDebuggerPresent();
void SysDebugBreak();
bool SysLocalTime(time_t seconds, struct tm *local);
// Opens for reading and writing with truncation, in text mode, unbuffered: every write goes
// straight to the file, so nothing of a failed write lingers to be written later.
bool SysOpenLogStream(std::fstream &stream, const std::wstring &path);
// Cuts the file at path back to size bytes; the file may be open elsewhere in the process.
bool SysTruncateLog(const std::wstring &path, std::streamoff size);
