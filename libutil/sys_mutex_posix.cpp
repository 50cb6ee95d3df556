#include "sys_mutex.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <util/base.h>

#include "sys_codepage.h"

namespace {

std::string OctalMode(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof(text), "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

unsigned long WindowsError(int err)
{
    switch (err) {
    case ENOENT:
    case ENOTDIR:
        return kSysErrorFileNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case ELOOP: // a symbolic link planted where a lock file belongs
        return kSysErrorAccessDenied;
    case EMFILE:
    case ENFILE:
        return 4; // ERROR_TOO_MANY_OPEN_FILES
    case ENAMETOOLONG:
        return 206; // ERROR_FILENAME_EXCED_RANGE
    case ENOSPC:
        return 112; // ERROR_DISK_FULL
    case ENOMEM:
        return 8; // ERROR_NOT_ENOUGH_MEMORY
    default:
        return 31; // ERROR_GEN_FAILURE
    }
}

// Says once why the runtime folder cannot be used, before the lines of the call that failed;
// again only when the reason changes, since the watch asks every second.
void WarnRuntimeFolder(const std::string &dir, const std::string &why)
{
    static std::mutex lock;
    static std::string said;
    const std::string warning = "Runtime folder " + dir + " is refused: " + why;
    std::lock_guard<std::mutex> guard(lock);
    if (warning == said)
        return;
    said = warning;
    blog(LOG_WARNING, "%s", warning.c_str());
}

// Only a folder of our own that nobody else may enter can decide which copy of us runs;
// another user's lock file in a shared folder must not. followLink: the folder a symbolic link
// names is what counts ($XDG_RUNTIME_DIR may be one); a link in /tmp is not ours to follow.
bool PrivateFolder(const std::string &dir, bool followLink, unsigned long *lastError)
{
    struct stat st;
    if ((followLink ? stat(dir.c_str(), &st) : lstat(dir.c_str(), &st)) != 0) {
        *lastError = WindowsError(errno);
        WarnRuntimeFolder(dir, std::strerror(errno));
        return false;
    }
    std::string why;
    if (!S_ISDIR(st.st_mode))
        why = "it is not a folder";
    else if (st.st_uid != getuid())
        why = "it belongs to another user (uid " + std::to_string(st.st_uid) + ")";
    else if ((st.st_mode & 077) != 0)
        why = "others may enter it (mode " + OctalMode(st.st_mode) + ", 0700 is needed)";
    if (!why.empty()) {
        *lastError = kSysErrorAccessDenied;
        WarnRuntimeFolder(dir, why);
        return false;
    }
    return true;
}

// The per-user folder that stands in for the session's local namespace: $XDG_RUNTIME_DIR, else
// /tmp/norva-<uid>. Either must be private to us; a shared one is refused, not passed over, so
// that every process of the session with the same environment agrees on the namespace.
bool RuntimeDir(std::string *dir, unsigned long *lastError)
{
    const char *xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg && xdg[0] == '/') {
        *dir = xdg;
        return PrivateFolder(*dir, true, lastError);
    }
    *dir = "/tmp/norva-" + std::to_string(getuid());
    if (mkdir(dir->c_str(), 0700) != 0 && errno != EEXIST) {
        *lastError = WindowsError(errno);
        WarnRuntimeFolder(*dir, std::string("it cannot be made: ") + std::strerror(errno));
        return false;
    }
    return PrivateFolder(*dir, false, lastError);
}

// Mutex names may hold any character; file names get the safe ones as they are and
// %XX for every other UTF-8 byte.
bool LockPath(const std::wstring &name, std::string *path, unsigned long *lastError)
{
    std::string dir;
    if (!RuntimeDir(&dir, lastError))
        return false;
    // As on Windows, "Local\\name" is the bare name: both live in the session's namespace.
    static const std::wstring kLocalPrefix = L"Local\\";
    const std::wstring bare = name.compare(0, kLocalPrefix.size(), kLocalPrefix) == 0
                                  ? name.substr(kLocalPrefix.size())
                                  : name;
    if (bare.empty()) {
        *lastError = 123; // ERROR_INVALID_NAME, as for "Local\\" alone
        return false;
    }
    const std::string utf8 = SysWideToUtf8(bare);
    if (utf8.empty()) {
        *lastError = 123; // ERROR_INVALID_NAME
        return false;
    }
    static const char kHex[] = "0123456789ABCDEF";
    std::string file;
    for (unsigned char c : utf8) {
        const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
        if (safe) {
            file += static_cast<char>(c);
        } else {
            file += '%';
            file += kHex[c >> 4];
            file += kHex[c & 15];
        }
    }
    *path = dir + "/" + file + ".lock";
    return true;
}

// Keeps lock descriptors off 0..2, so a daemon started with closed standard streams never
// hands its lock to a child as stdin/stdout/stderr, and a handle value is never 0.
int HighDescriptor(int fd)
{
    if (fd < 0 || fd >= 3)
        return fd;
    const int high = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    const int saved = errno;
    close(fd);
    errno = saved;
    return high;
}

NvHandle ToHandle(int fd)
{
    return reinterpret_cast<NvHandle>(static_cast<intptr_t>(fd));
}

} // namespace

NvHandle SysCreateNamedMutex(const std::wstring &name, unsigned long *lastError)
{
    *lastError = 0;
    if (name.empty()) {
        // An unnamed mutex always comes into being and can never be found by name.
        const int fd = HighDescriptor(open("/dev/null", O_RDONLY | O_CLOEXEC));
        if (fd < 0)
            *lastError = WindowsError(errno);
        return fd < 0 ? nullptr : ToHandle(fd);
    }
    std::string path;
    if (!LockPath(name, &path, lastError))
        return nullptr;
    const int fd =
        HighDescriptor(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (fd < 0) {
        *lastError = WindowsError(errno);
        return nullptr;
    }
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        if (errno == EAGAIN || errno == EACCES) {
            *lastError = kSysErrorAlreadyExists; // held by another handle: it exists
            return ToHandle(fd);
        }
        *lastError = WindowsError(errno);
        close(fd);
        return nullptr;
    }
    return ToHandle(fd);
}

NvHandle SysOpenNamedMutex(const std::wstring &name, unsigned long *lastError)
{
    *lastError = 0;
    if (name.empty()) {
        *lastError = kSysErrorFileNotFound;
        return nullptr;
    }
    std::string path;
    if (!LockPath(name, &path, lastError))
        return nullptr;
    const int fd = HighDescriptor(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd < 0) {
        *lastError = WindowsError(errno);
        return nullptr;
    }
    // Only ask whether a lock is held; taking one, even briefly, could make a creator starting
    // at that moment believe the mutex already existed.
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_OFD_GETLK, &lock) != 0) {
        *lastError = WindowsError(errno);
        close(fd);
        return nullptr;
    }
    if (lock.l_type == F_UNLCK) {
        // A file left behind by a holder that has gone: no such mutex.
        close(fd);
        *lastError = kSysErrorFileNotFound;
        return nullptr;
    }
    return ToHandle(fd);
}

void SysCloseHandle(NvHandle handle)
{
    if (handle)
        close(static_cast<int>(reinterpret_cast<intptr_t>(handle)));
}
