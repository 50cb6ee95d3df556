#include <QApplication>

#include "CriticalNotice.h"

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    return ShowCriticalNotice();
}
