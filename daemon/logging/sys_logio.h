#pragma once
// What the file log needs from the system.
//
// Windows: OutputDebugStringA, IsDebuggerPresent, __debugbreak, localtime_s, and a wide-path
// stream open that shares reading and writing but not deletion.
// POSIX: standard error, TracerPid of /proc/self/status, SIGTRAP, localtime_r, UTF-8 path.
#include <ctime>
#include <fstream>
#include <string>

void SysDebugOutput(const char *text);
bool SysDebuggerPresent();
void SysDebugBreak();
bool SysLocalTime(time_t seconds, struct tm *local);
// Opens for reading and writing with truncation, in text mode.
bool SysOpenLogStream(std::fstream &stream, const std::wstring &path);
