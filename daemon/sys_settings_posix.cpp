#include "sys_settings.h"

#include <util/bmem.h>

#include "sys_configdir.h"

std::unique_ptr<QSettings> OpenUninstallSettings(const QString &registryPath)
{
    const QString key = registryPath.section(QLatin1Char('\\'), -1);
    char *path = SysConfigPath((key + QLatin1String("/uninstall.ini")).toUtf8().constData());
    auto settings = std::make_unique<QSettings>(path ? QString::fromUtf8(path) : QString(),
                                                QSettings::IniFormat);
    bfree(path);
    settings->setIniCodec("UTF-8"); // paths with non-Latin-1 folder names are common
    return settings;
}
