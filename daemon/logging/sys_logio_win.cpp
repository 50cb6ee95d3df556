#include "sys_logio.h"

#include <intrin.h>
#include <windows.h>

#include <util/platform.h>

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

SysCreateResult SysCreateLogStream(std::fstream &stream, const std::wstring &path, SysLogFile *file)
{
    // A new file only, and a link or junction of that name is a name taken, never followed.
    // This handle shares reading and writing, not deletion: while it is open nobody removes or
    // renames the file, so the stream opened by name below meets the very same one.
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS
                   ? SysCreateResult::NameTaken
                   : SysCreateResult::Failed;
    }
    // _wfopen underneath: it shares reading and writing, as the handle above does.
    stream.rdbuf()->pubsetbuf(nullptr, 0);
    stream.open(path.c_str(), std::ios::in | std::ios::out);
    if (!stream.is_open()) {
        CloseHandle(handle);
        return SysCreateResult::Failed;
    }
    *file = reinterpret_cast<SysLogFile>(handle);
    return SysCreateResult::Created;
}

void SysCloseLogFile(SysLogFile file)
{
    if (file != kNoLogFile)
        CloseHandle(reinterpret_cast<HANDLE>(file));
}

bool SysTruncateLog(SysLogFile file, std::streamoff size)
{
    if (file == kNoLogFile)
        return false;
    const HANDLE handle = reinterpret_cast<HANDLE>(file);
    LARGE_INTEGER at;
    at.QuadPart = size;
    return SetFilePointerEx(handle, at, nullptr, FILE_BEGIN) && SetEndOfFile(handle);
}

bool SysRemoveUnusedLog(const char *path)
{
    return os_unlink(path) == 0; // a live log is open without delete sharing: this fails
}
