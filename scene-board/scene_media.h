#pragma once
#include <QString>

// The local video the scene plays.
// Windows: the fixed "E:/Wildlife.wmv". Elsewhere: the sample clip the build generates
// ("Wildlife.ogv"), next to the program in the build tree and in <prefix>/share/norva once
// installed.
QString SceneMediaPath();
