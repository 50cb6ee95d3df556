#include "SceneBoard.h"

#include "ui_SceneBoard.h"

SceneBoard::SceneBoard(QWidget *parent) : QWidget(parent), ui(new Ui::SceneBoard)
{
    ui->setupUi(this);
}

SceneBoard::~SceneBoard()
{
    delete ui;
}
