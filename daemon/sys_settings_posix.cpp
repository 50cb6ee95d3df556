#include "sys_settings.h"

#include <QDir>
#include <QtGlobal>

std::unique_ptr<QSettings> OpenUninstallSettings(const QString &registryPath)
{
    const QString key = registryPath.section(QLatin1Char('\\'), -1);
    QString configHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (configHome.isEmpty() || !QDir::isAbsolutePath(configHome))
        configHome = QDir::homePath() + QLatin1String("/.config");
    auto settings = std::make_unique<QSettings>(configHome + QLatin1Char('/') + key +
                                                    QLatin1String("/uninstall.ini"),
                                                QSettings::IniFormat);
    settings->setIniCodec("UTF-8"); // paths with non-Latin-1 folder names are common
    return settings;
}
