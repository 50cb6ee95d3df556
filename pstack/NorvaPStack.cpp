#include "NorvaPStack.h"

#include <QIntValidator>

#include "NVPStack.h"
#include "ui_NorvaPStack.h"

NorvaPStack::NorvaPStack(QWidget *parent)
    : QWidget(parent, Qt::WindowFlags()), ui(new Ui::NorvaPStack), pstack(new NVPStack(0, this))
{
    ui->setupUi(this);
    ui->lineEdit->setValidator(new QIntValidator(this));
}

NorvaPStack::~NorvaPStack()
{
    delete ui;
}

void NorvaPStack::on_pushButton_clicked()
{
    const int pid = ui->lineEdit->text().toInt(nullptr, 10);
    if (pid <= 0)
        return;
    ui->textBrowser->clear();
    pstack->setPid(static_cast<unsigned long>(pid));
    pstack->pStack();
    const QString traces = pstack->traces();
    ui->textBrowser->setText(traces);
}
