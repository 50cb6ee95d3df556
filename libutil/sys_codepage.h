#pragma once
// The code-page pair of the daemon core, with the calling convention of
// MultiByteToWideChar / WideCharToMultiByte (flags 0): a null output or a size of 0 asks for the
// needed size; the result is the number of units written or needed, 0 on failure.
//
// Windows: the Win32 pair itself. POSIX: iconv, with wide strings in UTF-32 (wchar_t).
// Invalid input becomes U+FFFD, a character that the target cannot show becomes the default
// character (or "?" / U+FFFD when none is given), and an unknown code page fails.

enum : unsigned int {
    kCodePageAnsi = 0,
    kCodePageUtf7 = 65000,
    kCodePageUtf8 = 65001,
};

int SysMultiByteToWideChar(unsigned int codePage, const char *src, int srcLen, wchar_t *dst,
                           int dstLen);
int SysWideCharToMultiByte(unsigned int codePage, const wchar_t *src, int srcLen, char *dst,
                           int dstLen, const char *defaultChar);
