#include "sys_configdir.h"

#include <util/platform.h>

char *SysConfigPath(const char *name)
{
    return os_get_config_path_ptr(name);
}
