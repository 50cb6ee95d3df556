#include <QApplication>

#include "SceneBoard.h"

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    SceneBoard board;
    board.show();
    return app.exec();
}
