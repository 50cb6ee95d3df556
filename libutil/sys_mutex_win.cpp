#include "sys_mutex.h"

#include <windows.h>

NvHandle SysCreateNamedMutex(const std::wstring &name, unsigned long *lastError)
{
    HANDLE handle = CreateMutexW(nullptr, FALSE, name.c_str());
    *lastError = GetLastError();
    return handle;
}

NvHandle SysOpenNamedMutex(const std::wstring &name, unsigned long *lastError)
{
    HANDLE handle = OpenMutexW(MUTEX_ALL_ACCESS, FALSE, name.c_str());
    *lastError = handle ? 0 : GetLastError();
    return handle;
}

void SysCloseHandle(NvHandle handle)
{
    CloseHandle(handle);
}
