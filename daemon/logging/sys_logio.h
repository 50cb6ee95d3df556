#pragma once
// What the file log needs from the system.
//
// Windows: OutputDebugStringA, IsDebuggerPresent, __debugbreak, localtime_s, and a new file
// (CREATE_NEW, no reparse point followed) held with a handle that shares reading and writing
// but not deletion.
// POSIX: standard error (a reader that went away raises no SIGPIPE), TracerPid of
// /proc/self/status, SIGTRAP that only a debugger stops at (a tracer that passes it on, such as
// strace or the stack viewer, leaves the process running), localtime_r, UTF-8 path, a new file
// with an open file description's lock on it before it has a name (made unnamed, O_TMPFILE,
// locked, then linked; where the file system cannot, O_EXCL | O_NOFOLLOW, locked at once and
// checked to be still the file of that name).
#include <cstdint>
#include <ctime>
#include <fstream>
#include <string>

void SysDebugOutput(const char *text);
bool SysDebuggerPresent();
void SysDebugBreak();
bool SysLocalTime(time_t seconds, struct tm *local);
// A log file this process created, as the descriptor (Windows: handle) it was created with.
// It stays open while the file is the live log: cut-backs go through it, never through the
// path, and on POSIX it holds the advisory lock by which other processes' pruning knows the
// file is some process's live log (Windows refuses to delete a file opened without delete
// sharing). kNoLogFile: none.
using SysLogFile = intptr_t;
constexpr SysLogFile kNoLogFile = -1;
enum class SysCreateResult { Created, NameTaken, Failed };
// Creates path as a new file, never an existing one and never through a symbolic link or
// reparse point, and opens stream on it for reading and writing, in text mode, unbuffered:
// every write goes straight to the file, so nothing of a failed write lingers to be written
// later. NameTaken: something of that name exists already.
SysCreateResult SysCreateLogStream(std::fstream &stream, const std::wstring &path,
                                   SysLogFile *file);
void SysCloseLogFile(SysLogFile file);
// Cuts the file back to size bytes.
bool SysTruncateLog(SysLogFile file, std::streamoff size);
// Removes the log at path unless it is a live log of a running process, this one included;
// true when it was removed. What the name leads to when it is removed is the very file found
// unused, whatever other processes make, remove or name meanwhile. Windows: a live log is open
// without delete sharing, so its removal fails by itself.
bool SysRemoveUnusedLog(const char *path);
