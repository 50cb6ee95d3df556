#include "Wording.h"

#include <windows.h>

QString SystemErrorText(int code)
{
    wchar_t *text = nullptr;
    FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    const QString message = text ? QString::fromWCharArray(text).trimmed() : QString();
    LocalFree(text);
    // One-pass arg: system messages may hold "%1" inserts of their own.
    return QStringLiteral("%1 (error %2)").arg(message, QString::number(code));
}
