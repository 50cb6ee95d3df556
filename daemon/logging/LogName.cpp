#include "LogName.h"

#include <cstdio>
#include <cstring>
#include <util/bmem.h>
#include <util/lexer.h>

namespace {

std::string g_liveLogName;

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

} // namespace

std::string LogName(const struct tm &local, int n, const char *extension)
{
    char buffer[256];
    std::memset(buffer, 0, sizeof(buffer));
    std::snprintf(buffer, sizeof(buffer), "%d-%02d-%02d %02d-%02d-%02d.%s", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  extension);
    return NumberedLogName(buffer, n);
}

std::string NumberedLogName(const std::string &plain, int n)
{
    if (n == 0)
        return plain;
    const size_t dot = plain.rfind('.');
    const size_t at = dot == std::string::npos ? plain.size() : dot;
    return plain.substr(0, at) + " (" + std::to_string(n) + ")" + plain.substr(at);
}

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

void SetLiveLogName(const std::string &name)
{
    g_liveLogName = name;
}

const char *LiveLogName()
{
    return g_liveLogName.c_str();
}
