#pragma once
// A stand-in NVPStack for the window tests: records every call and returns a set text.
#include <QString>
#include <QStringList>

namespace fake_pstack {
extern QStringList calls;      // "new <pid>", "setPid <pid>", "pStack", "traces", "delete"
extern QString nextTraces;     // what traces() returns
extern const void *lastObject; // the object of the latest call
} // namespace fake_pstack
