#include "sys_configdir.h"

#include <cstdlib>
#include <pwd.h>
#include <string>
#include <unistd.h>
#include <util/bmem.h>

namespace {

bool Absolute(const char *path)
{
    return path && path[0] == '/';
}

} // namespace

char *SysConfigPath(const char *name)
{
    std::string path;
    if (const char *config = std::getenv("XDG_CONFIG_HOME"); Absolute(config)) {
        path = config;
    } else {
        const char *home = std::getenv("HOME");
        if (!Absolute(home)) {
            const passwd *user = getpwuid(getuid());
            home = user ? user->pw_dir : nullptr;
        }
        if (!Absolute(home))
            return nullptr; // nowhere that is the user's own
        path = std::string(home) + "/.config";
    }
    return bstrdup((path + '/' + (name ? name : "")).c_str());
}
