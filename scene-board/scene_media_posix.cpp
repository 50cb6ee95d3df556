#include "scene_media.h"

#include <QCoreApplication>

QString SceneMediaPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/Wildlife.ogv");
}
