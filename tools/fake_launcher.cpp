// A stand-in for the product's launcher: it creates and holds the named mutex "norva-lauch"
// until it is killed. Environment knobs for demos and tests:
//   NORVA_FAKE_MUTEX     the mutex name to hold instead of "norva-lauch"
//   NORVA_FAKE_DELAY_MS  wait this long before creating the mutex
//   NORVA_FAKE_LOG       append "<pid> <argc> <own path, UTF-8>" to this file at start
//   NORVA_FAKE_EXIT      exit with this code at once instead of holding anything
#include <QCoreApplication>
#include <QFile>
#include <cstdlib>
#include <string>

#include "ProcessMutex.h"
#include "sys_thread.h"

int main(int argc, char **argv)
{
    // For the program's own path in any characters, whatever the code page of argv.
    QCoreApplication app(argc, argv);
    const QString logPath = qEnvironmentVariable("NORVA_FAKE_LOG");
    if (!logPath.isEmpty()) {
        QFile log(logPath);
        if (log.open(QIODevice::Append)) {
            // One write per start, so concurrent starts never mix their lines.
            const QByteArray line = QByteArray::number(QCoreApplication::applicationPid()) + ' ' +
                                    QByteArray::number(argc) + ' ' +
                                    QCoreApplication::applicationFilePath().toUtf8() + '\n';
            log.write(line);
        }
    }

    const QByteArray exitCode = qgetenv("NORVA_FAKE_EXIT");
    if (!exitCode.isEmpty())
        return exitCode.toInt();

    const int delayMs = qgetenv("NORVA_FAKE_DELAY_MS").toInt();
    if (delayMs > 0)
        SysSleep(static_cast<unsigned int>(delayMs));

    // Names are UTF-8, as the daemon core uses them, whatever the system code page.
    QByteArray name = qEnvironmentVariable("NORVA_FAKE_MUTEX").toUtf8();
    if (name.isEmpty())
        name = "norva-lauch";
    if (!CreateAndCheckMutexOnly(name.constData()))
        return 3; // another copy holds it already

    for (;;)
        SysSleep(60 * 60 * 1000);
}
