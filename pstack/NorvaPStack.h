#pragma once
#include <QWidget>

class NVPStack;

namespace Ui {
class NorvaPStack;
}

// The stack-trace viewer: a process id in, that process's stack traces out.
class NorvaPStack : public QWidget {
    Q_OBJECT

public:
    explicit NorvaPStack(QWidget *parent = nullptr);
    ~NorvaPStack() override;

private slots:
    void on_pushButton_clicked();

private:
    Ui::NorvaPStack *ui;
    NVPStack *pstack;
};
