#include "sys_shell.h"

// windows.h first: the other Win32 headers build on it.
#include <windows.h>

#include <shellapi.h>

void SysShellExecuteHidden(const std::wstring &file)
{
    ShellExecuteW(nullptr, nullptr, file.c_str(), nullptr, nullptr, SW_HIDE);
}
