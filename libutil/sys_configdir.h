#pragma once
// The per-user configuration path of name, one rule for every user of it (the daemon's
// settings and the file log). The result is allocated with bmalloc: bfree it.
//
// Windows: os_get_config_path_ptr, the profile's application-data folder.
// POSIX: the XDG rule, $XDG_CONFIG_HOME when it is set to an absolute path, else
// $HOME/.config (an empty or relative value is ignored, as the rule says).
char *SysConfigPath(const char *name);
