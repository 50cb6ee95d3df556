#include "NVPStack.h"

#include "StackCapture.h"

NVPStack::NVPStack(unsigned long pid, QObject *parent) : QObject(parent), m_pid(pid) {}

NVPStack::~NVPStack() = default;

void NVPStack::setPid(unsigned long pid)
{
    m_pid = pid;
}

void NVPStack::pStack()
{
    m_traces = FormatCapture(CaptureStacks(m_pid));
}

QString NVPStack::traces() const
{
    return m_traces;
}
