#pragma once
// Real Windows module files for the tests of their readers: Wine's own 64-bit modules, which
// carry DWARF 4 (from the system's folder when the tests run under Wine).
#include <QFile>
#include <QString>

#include "DwarfLines.h"
#include "PeImage.h"

inline QByteArray ReadAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Wine's 64-bit modules, or the test's own folder's when it runs on Windows.
inline QString WineModule(const char *name)
{
#if defined(_WIN32)
    return QStringLiteral("C:/windows/system32/") + QLatin1String(name);
#else
    return QStringLiteral("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/") + QLatin1String(name);
#endif
}

inline QString Base(const std::string &path)
{
    return QString::fromStdString(path).section(QLatin1Char('/'), -1);
}
