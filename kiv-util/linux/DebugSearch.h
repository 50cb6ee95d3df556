#pragma once
// Where the files a module's debug information may be in are looked for, as pure functions of
// paths: nothing here opens a file.
#include <QByteArray>
#include <QByteArrayList>

// A module's debug file: by build-id under the system's debug folder, then by its debug link
// beside the module (as the target sees it, fileName, else moduleName), in .debug there, and
// under the system's debug folder.
QByteArrayList DebugFileCandidates(const QByteArray &buildId, const QByteArray &moduleName,
                                   const QByteArray &fileName, const QByteArray &debugLink);

// The shared file of a dwz'd debug file (its alt file): by the build-id its link records, then
// where the link says, absolute or relative to the debug file.
QByteArrayList AltFileCandidates(const QByteArray &altId, const QByteArray &debugFile,
                                 const QByteArray &altLink);

// Every path libdw 0.188 opens looking for a skeleton unit's split unit, in its order: the .dwo
// name in the folder of the file libdw read the skeleton from (debugDir, ending in '/'; empty
// when libdw has no folder for it), then under the unit's compilation folder (absolute, or
// relative to debugDir). An absolute name is the one path.
QByteArrayList SplitUnitCandidates(const QByteArray &dwoName, const QByteArray &compDir,
                                   const QByteArray &debugDir);
