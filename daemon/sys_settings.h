#pragma once
// The product's uninstall entry, read only.
//
// Windows: QSettings in native format on the registry path, which addresses
// HKEY_CURRENT_USER\...\Uninstall\<key>.
// POSIX: the INI file ${XDG_CONFIG_HOME:-$HOME/.config}/<key>/uninstall.ini, UTF-8, where
// <key> is the last component of the registry path; values sit in [General].
#include <QSettings>
#include <QString>
#include <memory>

std::unique_ptr<QSettings> OpenUninstallSettings(const QString &registryPath);
