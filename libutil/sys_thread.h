#pragma once
// Threads and sleeping for the daemon core. Windows: CreateThread, WaitForSingleObject,
// Sleep. POSIX: pthreads and nanosleep.
#include <cstdint>

#if defined(_WIN32)
#define NV_THREAD_CALL __stdcall
typedef unsigned long NvThreadResult; // DWORD
#elif defined(__unix__) || defined(__APPLE__)
#define NV_THREAD_CALL
typedef uint32_t NvThreadResult;
#else
#error "unsupported platform"
#endif

typedef void *NvHandle; // a HANDLE on Windows
typedef NvThreadResult(NV_THREAD_CALL *NvThreadProc)(void *param);

// Starts proc(param) at once on a new thread with the default stack size; null on failure.
NvHandle SysCreateThread(NvThreadProc proc, void *param);
// Blocks until the thread has ended (no time-out).
void SysWaitThread(NvHandle thread);
// Releases the handle of a thread that has ended.
void SysCloseThread(NvHandle thread);
void SysSleep(unsigned int milliseconds);
