#include <QApplication>

#include "NorvaPStack.h"

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    NorvaPStack window(nullptr);
    window.show();
    return app.exec();
}
