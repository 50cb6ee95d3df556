#pragma once
// Named mutexes as single-instance guard and liveness signal, and the watcher that keeps a
// program running while its mutex is missing.
#include <atomic>
#include <string>
#include <util/threading.h>

#include "sys_thread.h"

// True only when this call created the mutex; the handle is kept until CloseMutex.
bool CreateAndCheckMutexOnly(const char *name);
// True when a mutex of that name exists and may be opened with full access.
bool CheckMutex(const char *name);
// Closes the mutex of the last successful CreateAndCheckMutexOnly, if any.
void CloseMutex();

// Tests once a second, on a thread of its own, whether mutexName exists, and starts
// programPath whenever it does not. Not copyable: the thread holds the object's address.
class WatchClassByMutex {
public:
    WatchClassByMutex(const char *programPath, const char *mutexName);
    // Waits, without time-out, for the watch thread; call Stop first (from any thread).
    ~WatchClassByMutex();
    WatchClassByMutex(const WatchClassByMutex &) = delete;
    WatchClassByMutex &operator=(const WatchClassByMutex &) = delete;

    void Pause();
    void Resume();
    void Stop();

    static NvThreadResult NV_THREAD_CALL WatchThreadProc(void *param);

private:
    std::wstring programPath;
    std::string mutexName;
    NvHandle threadHandle;
    std::atomic<bool> paused;
    std::atomic<bool> stopRequested;
    os_event_t *resumeEvent;
};
