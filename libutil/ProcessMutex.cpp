#include "ProcessMutex.h"

#include <util/base.h>

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
    blog(LOG_INFO, "%s(%d)-<%s>: Close mutex %d!", __FILE__, 61, "CloseMutex",
         HandleValue(g_mutexHandle));
    SysCloseHandle(g_mutexHandle);
    g_mutexHandle = nullptr;
}

bool CreateAndCheckMutexOnly(const char *name)
{
    const std::wstring wideName = WideName(name);
    unsigned long lastError = 0;
    NvHandle handle = SysCreateNamedMutex(wideName, &lastError);
    if (!handle) {
        blog(LOG_INFO, "%s(%d)-<%s>: Create mutext Failed", __FILE__, 73,
             "CreateAndCheckMutexOnly");
        return false;
    }
    if (lastError == kSysErrorAlreadyExists) {
        SysCloseHandle(handle);
        return false;
    }
    g_mutexHandle = handle;
    blog(LOG_INFO, "%s(%d)-<%s>: Create mutex %d!", __FILE__, 85, "CreateAndCheckMutexOnly",
         HandleValue(handle));
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
    blog(LOG_INFO, "%s(%d)-<%s>: GetLastError = %lu", __FILE__, 97, "CheckMutex", lastError);
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
        blog(LOG_WARNING, "%s(%d)-<%s>: Failed to os_event_init", __FILE__, 126,
             "WatchClassByMutex::WatchClassByMutex");
    }

    // Last, so that the thread finds every member final.
    threadHandle = SysCreateThread(&WatchClassByMutex::WatchThreadProc, this);
    if (!threadHandle)
        blog(LOG_WARNING, "%s(%d)-<%s>: Failed to create thread", __FILE__, 130,
             "WatchClassByMutex::WatchClassByMutex");
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
