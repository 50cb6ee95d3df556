#include "sys_shell.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <spawn.h>
#include <sys/wait.h>
#include <vector>

#include "sys_codepage.h"

extern char **environ;

namespace {

std::mutex g_unreapedLock;
std::vector<pid_t> g_unreaped; // children whose reaper thread could not be started

void *ReapChild(void *arg)
{
    const auto pid = static_cast<pid_t>(reinterpret_cast<intptr_t>(arg));
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return nullptr;
}

void SweepUnreaped()
{
    std::lock_guard<std::mutex> guard(g_unreapedLock);
    for (auto it = g_unreaped.begin(); it != g_unreaped.end();) {
        const pid_t rc = waitpid(*it, nullptr, WNOHANG);
        it = (rc == 0) ? it + 1 : g_unreaped.erase(it);
    }
}

// One small detached thread per child waits for it, so the child is reaped the moment it
// ends and no other child of the process is touched.
void WatchChild(pid_t pid)
{
    pthread_attr_t attr;
    bool started = false;
    if (pthread_attr_init(&attr) == 0) {
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        pthread_attr_setstacksize(&attr, 64 * 1024);
        pthread_t thread;
        started = pthread_create(&thread, &attr, ReapChild,
                                 reinterpret_cast<void *>(static_cast<intptr_t>(pid))) == 0;
        pthread_attr_destroy(&attr);
    }
    if (!started) {
        std::lock_guard<std::mutex> guard(g_unreapedLock);
        g_unreaped.push_back(pid);
    }
}

} // namespace

void SysShellExecuteHidden(const std::wstring &file)
{
    SweepUnreaped();
    const std::string path = SysWideToUtf8(file);
    if (path.empty() || path.find('\0') != std::string::npos)
        return; // as the shell fails on an empty or malformed name

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return;
    if (posix_spawnattr_init(&attr) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return;
    }
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    // Whatever descriptors the daemon inherited without close-on-exec stay with the daemon.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    // A fresh session, no blocked signals and default dispositions: nothing of the daemon's
    // state leaks into the program it starts.
    sigset_t empty, all;
    sigemptyset(&empty);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &empty);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    char *argv[] = {const_cast<char *>(path.c_str()), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, path.c_str(), &actions, &attr, argv, environ) == 0)
        WatchChild(pid);

    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
}
