#pragma once
// Conversions between narrow strings in a Windows code page and wide strings.
// Both return an empty string on failure (after one warning line through blog).
#include <string>

std::wstring multistr2widestr(unsigned int codePage, const std::string &source);
// defaultChar replaces characters the code page cannot show; null means the system's default.
// It is ignored for UTF-7 (65000) and UTF-8 (65001).
std::string widestr2multistr(unsigned int codePage, const std::wstring &source,
                             const char *defaultChar);
