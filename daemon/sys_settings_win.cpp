#include "sys_settings.h"

std::unique_ptr<QSettings> OpenUninstallSettings(const QString &registryPath)
{
    return std::make_unique<QSettings>(registryPath, QSettings::NativeFormat);
}
