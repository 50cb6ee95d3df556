#include "DaemonStartup.h"

#include <QByteArray>
#include <QChar>
#include <QSettings>
#include <QString>
#include <QVariant>
#include <exception>
#include <memory>
#include <util/base.h>

#include "ConsoleLog.h"
#include "ProcessMutex.h"
#include "sys_privilege.h"
#include "sys_settings.h"

namespace {

const char *const g_daemonMutexName = "norva-deamon";
const char *const g_launcherMutexName = "norva-lauch";
const char *const g_registryPathTemplate =
    "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\%1";
const QString g_uninstallKeyName = QString::fromLatin1("NORVA");

// The launcher path, UTF-8. Qt decodes a stored "@Variant(...)" itself, and a crafted one can
// ask it for any amount of memory; such a value is no path, so it counts as missing.
QByteArray ReadLauncherPath(const QSettings &settings)
{
    try {
        return settings.value(QString::fromLatin1("Launch"), QVariant()).toString().toUtf8();
    } catch (const std::exception &) {
        blog(LOG_WARNING, "%s", "Launch is not a path; treated as missing");
        return QByteArray();
    }
}

} // namespace

int RunDaemon()
{
    InstallConsoleLog();
    EnableDebugPrivilege();

    if (!CreateAndCheckMutexOnly(g_daemonMutexName)) {
        blog(LOG_ERROR, "%s", "norva-deamon is running");
        return 0;
    }

    std::unique_ptr<QSettings> settings = OpenUninstallSettings(
        QString::fromLatin1(g_registryPathTemplate).arg(g_uninstallKeyName, 0, QChar(0x20)));
    {
        WatchClassByMutex watcher(ReadLauncherPath(*settings).constData(), g_launcherMutexName);
        // The watcher's destructor waits for its thread, which nobody stops: the daemon lives
        // here until it is ended from outside.
    }
    return 0;
}
