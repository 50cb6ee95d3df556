#include "scene_media.h"

#include <QCoreApplication>
#include <QFileInfo>

QString SceneMediaPath()
{
    // Next to the program in the build tree; <prefix>/share/norva once installed to <prefix>/bin.
    const QString dir = QCoreApplication::applicationDirPath();
    const QString beside = dir + QStringLiteral("/Wildlife.ogv");
    const QString installed = dir + QStringLiteral("/../share/norva/Wildlife.ogv");
    return QFileInfo::exists(beside) || !QFileInfo::exists(installed)
               ? beside
               : QFileInfo(installed).canonicalFilePath();
}
