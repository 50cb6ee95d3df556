#include "ProcessMutex.h"

#include <util/base.h>

#include "InHouseLog.h"

#include "StrUtil.h"
#include "sys_codepage.h"
#include "sys_mutex.h"
#include "sys_shell.h"

namespace {

NvHandle g_mutexHandle = nullptr;

int HandleValue(NvHandle handle)
{
    return static_cast<int>(reinterpret_cast<intptr_t>(handle));
}

std::wstring WideName(const char *name)
{
    return multistr2widestr(kCodePageUtf8, std::string(name ? name : ""));
}

} // namespace

void CloseMutex()
{
    if (!g_mutexHandle)
        return;
    NV_BLOG(LOG_INFO, 61, "CloseMutex", "Close mutex %d!", HandleValue(g_mutexHandle));
    SysCloseHandle(g_mutexHandle);
    g_mutexHandle = nullptr;
}

bool CreateAndCheckMutexOnly(const char *name)
{
    const std::wstring wideName = WideName(name);
    unsigned long lastError = 0;
    NvHandle handle = SysCreateNamedMutex(wideName, &lastError);
    if (!handle) {
        NV_BLOG(LOG_INFO, 73, "CreateAndCheckMutexOnly", "Create mutext Failed");
        return false;
    }
    if (lastError == kSysErrorAlreadyExists) {
        SysCloseHandle(handle);
        return false;
    }
    g_mutexHandle = handle;
    NV_BLOG(LOG_INFO, 85, "CreateAndCheckMutexOnly", "Create mutex %d!", HandleValue(handle));
    return true;
}

bool CheckMutex(const char *name)
{
    const std::wstring wideName = WideName(name);
    unsigned long lastError = 0;
    NvHandle handle = SysOpenNamedMutex(wideName, &lastError);
    if (handle) {
        SysCloseHandle(handle);
        return true;
    }
    NV_BLOG(LOG_INFO, 97, "CheckMutex", "GetLastError = %lu", lastError);
    return false;
}

WatchClassByMutex::WatchClassByMutex(const char *programPath, const char *mutexName)
    : programPath(), mutexName(), threadHandle(nullptr), paused(false), stopRequested(false),
      resumeEvent(nullptr)
{
    this->programPath =
        multistr2widestr(kCodePageUtf8, std::string(programPath ? programPath : ""));
    this->mutexName = mutexName ? mutexName : "";

    if (os_event_init(&resumeEvent, OS_EVENT_TYPE_AUTO) == -1) {
        resumeEvent = nullptr;
        NV_BLOG(LOG_WARNING, 126, "WatchClassByMutex::WatchClassByMutex",
                "Failed to os_event_init");
    }

    // Last, so that the thread finds every member final.
    threadHandle = SysCreateThread(&WatchClassByMutex::WatchThreadProc, this);
    if (!threadHandle)
        NV_BLOG(LOG_WARNING, 130, "WatchClassByMutex::WatchClassByMutex",
                "Failed to create thread");
}

WatchClassByMutex::~WatchClassByMutex()
{
    if (threadHandle) {
        SysWaitThread(threadHandle);
        SysCloseThread(threadHandle);
    }
    if (resumeEvent)
        os_event_destroy(resumeEvent);
}

void WatchClassByMutex::Pause()
{
    paused = true;
}

void WatchClassByMutex::Resume()
{
    paused = false;
    if (resumeEvent)
        os_event_signal(resumeEvent);
}

void WatchClassByMutex::Stop()
{
    stopRequested = true;
}

NvThreadResult NV_THREAD_CALL WatchClassByMutex::WatchThreadProc(void *param)
{
    auto *self = static_cast<WatchClassByMutex *>(param);
    if (self->stopRequested)
        return 0;
    for (;;) {
        if (self->paused) {
            if (self->resumeEvent) {
                os_event_wait(self->resumeEvent);
            } else {
                // Without an event a pause can only be polled; it still ends only by Resume.
                while (self->paused)
                    SysSleep(50);
            }
        }
        if (!CheckMutex(self->mutexName.c_str()))
            SysShellExecuteHidden(self->programPath);
        SysSleep(1000);
        if (self->stopRequested)
            return 0;
    }
}
