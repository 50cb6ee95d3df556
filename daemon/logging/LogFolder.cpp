#include "LogFolder.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <util/bmem.h>
#include <util/lexer.h>
#include <util/platform.h>
#include <utility>
#include <vector>

#include "sys_configdir.h"
#include "sys_logio.h"

namespace {

std::string g_previousLogName;
std::string g_liveLogName;
uint32_t g_maxLogFiles = 0;

bool ReadDigits(lexer *lex, std::string *digits)
{
    base_token token;
    if (!lexer_getbasetoken(lex, &token, IGNORE_WHITESPACE) || token.type != BASETOKEN_DIGIT)
        return false;
    digits->append(token.text.array, token.text.len);
    return true;
}

bool ReadDash(lexer *lex)
{
    base_token token;
    return lexer_getbasetoken(lex, &token, IGNORE_WHITESPACE) && token.type == BASETOKEN_OTHER &&
           strref_cmp(&token.text, "-") == 0;
}

// Unsigned decimal; false when the value does not fit in 64 bits.
bool ParseUnsigned64(const std::string &digits, uint64_t *value)
{
    uint64_t result = 0;
    for (char c : digits) {
        const auto digit = static_cast<uint64_t>(c - '0');
        if (result > (UINT64_MAX - digit) / 10)
            return false;
        result = result * 10 + digit;
    }
    *value = result;
    return true;
}

bool SkipEntry(const os_dirent *entry)
{
    return entry->directory || entry->d_name[0] == '.';
}

} // namespace

uint64_t LogNameToNumber(const char *name)
{
    if (!name)
        return 0;
    lexer lex;
    lexer_init(&lex);
    lexer_start_move(&lex, static_cast<char *>(bmemdup(name, std::strlen(name) + 1)));

    // year - month - day hour - minute - second
    std::string digits;
    const bool matched = ReadDigits(&lex, &digits) && ReadDash(&lex) && ReadDigits(&lex, &digits) &&
                         ReadDash(&lex) && ReadDigits(&lex, &digits) && ReadDigits(&lex, &digits) &&
                         ReadDash(&lex) && ReadDigits(&lex, &digits) && ReadDash(&lex) &&
                         ReadDigits(&lex, &digits);
    lexer_free(&lex); // releases the copy

    uint64_t number = 0;
    if (!matched || !ParseUnsigned64(digits, &number))
        return 0;
    return number;
}

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
            if (log.second != g_liveLogName && !SysLogInUse(victim.c_str()) &&
                os_unlink(victim.c_str()) == 0)
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

void SetLiveLogName(const char *name)
{
    g_liveLogName = name ? name : "";
}

const char *LiveLogName()
{
    return g_liveLogName.c_str();
}
