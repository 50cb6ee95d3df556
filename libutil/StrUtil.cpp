#include "StrUtil.h"

#include <climits>
#include <cstring>
#include <util/base.h>

#include "InHouseLog.h"

#include "sys_codepage.h"

std::wstring multistr2widestr(unsigned int codePage, const std::string &source)
{
    std::wstring result;
    if (source.empty())
        return result;

    // The Win32 pair counts in int; larger input cannot be described to it.
    const int sourceLen = source.size() > INT_MAX ? 0 : static_cast<int>(source.size());
    const int needed =
        sourceLen ? SysMultiByteToWideChar(codePage, source.data(), sourceLen, nullptr, 0) : 0;
    if (needed == 0) {
        NV_BLOG(LOG_WARNING, 27, "multistr2widestr",
                "MultiByteToWideChar fail when query need size");
        return result;
    }

    wchar_t *buffer = new wchar_t[static_cast<size_t>(needed)];
    std::memset(buffer, 0, sizeof(wchar_t) * static_cast<size_t>(needed));
    const int converted =
        SysMultiByteToWideChar(codePage, source.data(), sourceLen, buffer, needed);
    if (converted == 0)
        NV_BLOG(LOG_WARNING, 37, "multistr2widestr", "MultiByteToWideChar fail");
    else
        result.assign(buffer, static_cast<size_t>(converted));
    delete[] buffer;
    return result;
}

std::string widestr2multistr(unsigned int codePage, const std::wstring &source,
                             const char *defaultChar)
{
    std::string result;
    if (source.empty())
        return result;

    // Windows accepts no default character for these two.
    if (codePage == kCodePageUtf7 || codePage == kCodePageUtf8)
        defaultChar = nullptr;

    const int sourceLen = source.size() > INT_MAX ? 0 : static_cast<int>(source.size());
    const int needed = sourceLen ? SysWideCharToMultiByte(codePage, source.data(), sourceLen,
                                                          nullptr, 0, defaultChar)
                                 : 0;
    if (needed == 0) {
        NV_BLOG(LOG_WARNING, 72, "widestr2multistr",
                "WideCharToMultiByte fail when query need size");
        return result;
    }

    char *buffer = new char[static_cast<size_t>(needed)];
    std::memset(buffer, 0, static_cast<size_t>(needed));
    const int converted =
        SysWideCharToMultiByte(codePage, source.data(), sourceLen, buffer, needed, defaultChar);
    if (converted == 0)
        NV_BLOG(LOG_WARNING, 82, "widestr2multistr", "WideCharToMultiByte fail");
    else
        result.append(buffer, static_cast<size_t>(converted));
    delete[] buffer;
    return result;
}
