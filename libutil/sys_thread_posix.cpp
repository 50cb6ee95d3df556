#include "sys_thread.h"

#include <cerrno>
#include <new>
#include <pthread.h>
#include <time.h>

namespace {

struct ThreadStart {
    NvThreadProc proc;
    void *param;
    pthread_t thread;
};

void *Trampoline(void *arg)
{
    auto *start = static_cast<ThreadStart *>(arg);
    start->proc(start->param);
    return nullptr;
}

} // namespace

NvHandle SysCreateThread(NvThreadProc proc, void *param)
{
    auto *start = new (std::nothrow) ThreadStart{proc, param, {}};
    if (!start)
        return nullptr;
    if (pthread_create(&start->thread, nullptr, Trampoline, start) != 0) {
        delete start;
        return nullptr;
    }
    return start;
}

void SysWaitThread(NvHandle thread)
{
    auto *start = static_cast<ThreadStart *>(thread);
    if (start && start->proc) {
        pthread_join(start->thread, nullptr);
        start->proc = nullptr; // joined: a second wait must not join again
    }
}

void SysCloseThread(NvHandle thread)
{
    auto *start = static_cast<ThreadStart *>(thread);
    if (!start)
        return;
    if (start->proc)
        pthread_detach(start->thread);
    delete start;
}

void SysSleep(unsigned int milliseconds)
{
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
