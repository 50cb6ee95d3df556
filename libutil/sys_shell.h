#pragma once
// Starts a program the way the daemon's watcher does: no parameters, hidden, the caller's
// current directory, result ignored.
//
// Windows: ShellExecuteW(nullptr, nullptr, file, nullptr, nullptr, SW_HIDE).
// POSIX: posix_spawn of the path with standard streams on /dev/null in a session of its own;
// the child is reaped when it ends, so a daemon that runs for months collects no zombies.
#include <string>

void SysShellExecuteHidden(const std::wstring &file);
