#include "DebugSearch.h"

namespace {

const QByteArray kDebugRoot = "/usr/lib/debug";

QByteArray ByBuildId(const QByteArray &id)
{
    return kDebugRoot + "/.build-id/" + id.left(1).toHex() + '/' + id.mid(1).toHex() + ".debug";
}

QByteArray FolderOf(const QByteArray &path)
{
    return path.left(path.lastIndexOf('/') + 1);
}

// libdw's own joining of a file name to a folder and to the folder of the file it read.
QByteArray LibdwPath(const QByteArray &debugDir, const QByteArray &dir, const QByteArray &file)
{
    if (file.startsWith('/'))
        return file;
    if (dir.startsWith('/'))
        return dir + (dir.endsWith('/') ? "" : "/") + file;
    if (debugDir.isEmpty())
        return {};
    return debugDir + (dir.isEmpty() ? QByteArray() : dir + (dir.endsWith('/') ? "" : "/")) + file;
}

} // namespace

QByteArrayList DebugFileCandidates(const QByteArray &buildId, const QByteArray &moduleName,
                                   const QByteArray &fileName, const QByteArray &debugLink)
{
    QByteArrayList paths;
    if (buildId.size() > 1)
        paths << ByBuildId(buildId);
    if (!debugLink.isEmpty() && !debugLink.contains('/')) {
        const QByteArray dir = FolderOf(fileName.isEmpty() ? moduleName : fileName);
        paths << dir + debugLink << dir + ".debug/" + debugLink;
        if (moduleName.startsWith('/'))
            paths << kDebugRoot + FolderOf(moduleName) + debugLink;
    }
    return paths;
}

QByteArrayList AltFileCandidates(const QByteArray &altId, const QByteArray &debugFile,
                                 const QByteArray &altLink)
{
    QByteArrayList paths;
    if (altId.size() > 1)
        paths << ByBuildId(altId);
    if (altLink.startsWith('/'))
        paths << altLink;
    else if (!altLink.isEmpty() && debugFile.contains('/'))
        paths << FolderOf(debugFile) + altLink;
    return paths;
}

QByteArrayList SplitUnitCandidates(const QByteArray &dwoName, const QByteArray &compDir,
                                   const QByteArray &debugDir)
{
    QByteArrayList paths;
    if (dwoName.isEmpty())
        return paths;
    for (const QByteArray &path :
         {LibdwPath(debugDir, {}, dwoName), LibdwPath(debugDir, compDir, dwoName)})
        if (!path.isEmpty() && !paths.contains(path))
            paths << path;
    return paths;
}
