#include "LogFolder.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <util/bmem.h>
#include <util/platform.h>
#include <utility>
#include <vector>

#include "LogName.h"
#include "sys_configdir.h"
#include "sys_logio.h"

namespace {

std::string g_previousLogName;
uint32_t g_maxLogFiles = 0;

bool SkipEntry(const os_dirent *entry)
{
    return entry->directory || entry->d_name[0] == '.';
}

} // namespace

void FindNewestLog()
{
    char *path = SysConfigPath("kiv-studio/logs");
    os_dir_t *dir = path ? os_opendir(path) : nullptr;
    if (dir) {
        uint64_t newest = 0;
        while (os_dirent *entry = os_readdir(dir)) {
            if (SkipEntry(entry))
                continue;
            const uint64_t number = LogNameToNumber(entry->d_name);
            if (number > newest) {
                g_previousLogName = entry->d_name;
                newest = number;
            }
        }
        os_closedir(dir);
    }
    bfree(path);
}

void PruneOldestLog(const char *folder)
{
    char *path = SysConfigPath(folder);
    std::vector<std::pair<uint64_t, std::string>> logs; // in the order they are listed
    os_dir_t *dir = path ? os_opendir(path) : nullptr;
    if (dir) {
        while (os_dirent *entry = os_readdir(dir)) {
            if (SkipEntry(entry))
                continue;
            const uint64_t number = LogNameToNumber(entry->d_name);
            if (number != 0)
                logs.emplace_back(number, entry->d_name);
        }
        os_closedir(dir);
    }
    // Oldest first; of equal numbers the first listed. A live log, this process's or another
    // one's, is never removed: the oldest of the others goes instead, or none.
    std::stable_sort(logs.begin(), logs.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    if (logs.size() > g_maxLogFiles) {
        for (const auto &log : logs) {
            const std::string victim = std::string(path) + "/" + log.second;
            if (log.second != LiveLogName() && SysRemoveUnusedLog(victim.c_str()))
                break;
        }
    }
    bfree(path);
}

void SetMaxLogFiles(uint32_t count)
{
    g_maxLogFiles = count;
}

const char *PreviousLogFileName()
{
    return g_previousLogName.c_str();
}
