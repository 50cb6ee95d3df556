#pragma once
// Named kernel mutexes as the daemon uses them: only their existence matters, nobody ever
// owns or waits on one.
//
// Windows: CreateMutexW / OpenMutexW(MUTEX_ALL_ACCESS) / CloseHandle in the session's local
// namespace. POSIX: a lock file "<runtime dir>/<name>.lock" carrying an open-file-description
// write lock; the kernel drops it when the holder's last descriptor goes, as Windows destroys a
// mutex with its last handle. Error codes are reported as Windows reports them.
#include <string>

#include "sys_thread.h"

enum : unsigned long {
    kSysErrorFileNotFound = 2,
    kSysErrorAccessDenied = 5,
    kSysErrorAlreadyExists = 183,
};

// CreateMutexW(nullptr, FALSE, name). A non-null result with *lastError == 183 means the mutex
// already existed and the handle refers to it.
NvHandle SysCreateNamedMutex(const std::wstring &name, unsigned long *lastError);
// OpenMutexW(MUTEX_ALL_ACCESS, FALSE, name); null with *lastError set when it does not exist or
// may not be opened.
NvHandle SysOpenNamedMutex(const std::wstring &name, unsigned long *lastError);
void SysCloseHandle(NvHandle handle);
