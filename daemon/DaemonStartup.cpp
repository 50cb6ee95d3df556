#include "DaemonStartup.h"

#include <QByteArray>
#include <QChar>
#include <QSettings>
#include <QString>
#include <QVariant>
#include <memory>
#include <util/base.h>

#include "ProcessMutex.h"
#include "sys_settings.h"

namespace {

const char *const g_daemonMutexName = "norva-deamon";
const char *const g_launcherMutexName = "norva-lauch";
const char *const g_registryPathTemplate =
    "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\%1";
const QString g_uninstallKeyName = QString::fromLatin1("NORVA");

} // namespace

int RunDaemon()
{
    EnableDebugPrivilege();

    if (!CreateAndCheckMutexOnly(g_daemonMutexName)) {
        blog(LOG_ERROR, "%s", "norva-deamon is running");
        return 0;
    }

    std::unique_ptr<QSettings> settings = OpenUninstallSettings(
        QString::fromLatin1(g_registryPathTemplate).arg(g_uninstallKeyName, 0, QChar(0x20)));
    {
        WatchClassByMutex watcher(settings->value(QString::fromLatin1("Launch"), QVariant())
                                      .toString()
                                      .toUtf8()
                                      .constData(),
                                  g_launcherMutexName);
        // The watcher's destructor waits for its thread, which nobody stops: the daemon lives
        // here until it is ended from outside.
    }
    return 0;
}
