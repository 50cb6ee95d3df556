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
    stream.rdbuf()->pubsetbuf(nullptr, 0);
    stream.open(path.c_str(), std::ios::in | std::ios::out | std::ios::trunc);
    return stream.is_open();
}

bool SysTruncateLog(const std::wstring &path, std::streamoff size)
{
    // The stream's own handle shares writing, so a second one may cut the file.
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER at;
    at.QuadPart = size;
    const bool ok = SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    return ok;
}
