#include "sys_console.h"

#include <windows.h>

void SysPrepareConsole() {}

bool SysConsoleWrite(SysStream stream, const char *data, size_t len)
{
    HANDLE handle = GetStdHandle(stream == SysStream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    if (!handle || handle == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    return WriteFile(handle, data, static_cast<DWORD>(len), &written, nullptr) && written == len;
}
