#pragma once
#include <QWidget>

namespace Ui {
class SceneBoard;
}

// The demo window: its only content is the stretched scene view.
class SceneBoard : public QWidget {
    Q_OBJECT

public:
    explicit SceneBoard(QWidget *parent = nullptr);
    ~SceneBoard() override;

private:
    Ui::SceneBoard *ui;
};
