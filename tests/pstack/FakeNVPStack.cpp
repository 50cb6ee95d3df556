#include "FakeNVPStack.h"

#include "NVPStack.h"

namespace fake_pstack {
QStringList calls;
QString nextTraces;
const void *lastObject = nullptr;
} // namespace fake_pstack

using namespace fake_pstack;

NVPStack::NVPStack(unsigned long pid, QObject *parent) : QObject(parent), m_pid(pid)
{
    calls << QStringLiteral("new %1").arg(pid);
    lastObject = this;
}

NVPStack::~NVPStack()
{
    calls << QStringLiteral("delete");
}

void NVPStack::setPid(unsigned long pid)
{
    m_pid = pid;
    calls << QStringLiteral("setPid %1").arg(pid);
    lastObject = this;
}

void NVPStack::pStack()
{
    calls << QStringLiteral("pStack");
    m_traces = nextTraces;
    lastObject = this;
}

QString NVPStack::traces() const
{
    calls << QStringLiteral("traces");
    lastObject = this;
    return m_traces;
}
