#pragma once
// The stack-capture class of libkiv-util, as the stack-trace viewer uses it.
#include <QObject>
#include <QString>

class NVPStack : public QObject {
public:
    NVPStack(unsigned long pid, QObject *parent);
    virtual ~NVPStack();

    // The process of the next capture.
    void setPid(unsigned long pid);
    // Captures the stacks of all threads of the process; synchronous, never throws.
    void pStack();
    // The text of the last capture: HTML, or empty before the first.
    QString traces() const;

private:
    unsigned long m_pid;
    QString m_traces;
};
