#include "sys_shell.h"

#include <windows.h>
#include <shellapi.h>

void SysShellExecuteHidden(const std::wstring &file)
{
    ShellExecuteW(nullptr, nullptr, file.c_str(), nullptr, nullptr, SW_HIDE);
}
