#include "sys_thread.h"

#include <windows.h>

NvHandle SysCreateThread(NvThreadProc proc, void *param)
{
    return CreateThread(nullptr, 0, proc, param, 0, nullptr);
}

void SysWaitThread(NvHandle thread)
{
    WaitForSingleObject(thread, INFINITE);
}

void SysCloseThread(NvHandle thread)
{
    CloseHandle(thread);
}

void SysSleep(unsigned int milliseconds)
{
    Sleep(milliseconds);
}
