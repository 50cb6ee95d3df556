#pragma once
// The code-page pair of the daemon core, with the calling convention of
// MultiByteToWideChar / WideCharToMultiByte (flags 0): a null output or a size of 0 asks for the
// needed size; the result is the number of units written or needed, 0 on failure.
//
// Windows: the Win32 pair itself. POSIX: iconv, with wide strings in UTF-32 (wchar_t).
// Invalid input becomes U+FFFD, a character that the target cannot show becomes the default
// character (or "?" / U+FFFD when none is given), and an unknown code page fails.
#include <string>

enum : unsigned int {
    kCodePageAnsi = 0,
    kCodePageUtf7 = 65000,
    kCodePageUtf8 = 65001,
};

int SysMultiByteToWideChar(unsigned int codePage, const char *src, int srcLen, wchar_t *dst,
                           int dstLen);
int SysWideCharToMultiByte(unsigned int codePage, const wchar_t *src, int srcLen, char *dst,
                           int dstLen, const char *defaultChar);

// UTF-8 of wide; empty when wide is empty, too long or cannot be converted.
inline std::string SysWideToUtf8(const std::wstring &wide)
{
    std::string utf8;
    if (wide.empty() || wide.size() > 0x7fffffffu)
        return utf8;
    const int len = static_cast<int>(wide.size());
    const int size = SysWideCharToMultiByte(kCodePageUtf8, wide.data(), len, nullptr, 0, nullptr);
    if (size <= 0)
        return utf8;
    utf8.resize(static_cast<size_t>(size));
    if (SysWideCharToMultiByte(kCodePageUtf8, wide.data(), len, &utf8[0], size, nullptr) != size)
        utf8.clear();
    return utf8;
}
