#include "sys_codepage.h"

#include <windows.h>

int SysMultiByteToWideChar(unsigned int codePage, const char *src, int srcLen, wchar_t *dst,
                           int dstLen)
{
    return MultiByteToWideChar(codePage, 0, src, srcLen, dst, dstLen);
}

int SysWideCharToMultiByte(unsigned int codePage, const wchar_t *src, int srcLen, char *dst,
                           int dstLen, const char *defaultChar)
{
    return WideCharToMultiByte(codePage, 0, src, srcLen, dst, dstLen, defaultChar, nullptr);
}
