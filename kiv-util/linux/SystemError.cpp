#include "Wording.h"

#include <cstring>

QString SystemErrorText(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}
