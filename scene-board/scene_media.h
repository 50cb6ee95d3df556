#pragma once
#include <QString>

// The local video the scene plays.
// Windows: the fixed "E:/Wildlife.wmv". Elsewhere: the sample clip the build generates and
// installs next to the program ("Wildlife.ogv").
QString SceneMediaPath();
