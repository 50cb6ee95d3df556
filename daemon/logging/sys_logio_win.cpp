#include "sys_logio.h"

#include <intrin.h>
#include <windows.h>

void SysDebugOutput(const char *text)
{
    OutputDebugStringA(text);
}

bool SysDebuggerPresent()
{
    return IsDebuggerPresent() != FALSE;
}

void SysDebugBreak()
{
    __debugbreak();
}

bool SysLocalTime(time_t seconds, struct tm *local)
{
    return localtime_s(local, &seconds) == 0;
}

bool SysOpenLogStream(std::fstream &stream, const std::wstring &path)
{
    // _wfopen underneath: shares reading and writing, not deletion.
    stream.open(path.c_str(), std::ios::in | std::ios::out | std::ios::trunc);
    return stream.is_open();
}
