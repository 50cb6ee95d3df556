#include "scene_media.h"

QString SceneMediaPath()
{
    return QStringLiteral("E:/Wildlife.wmv");
}
