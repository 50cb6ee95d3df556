// Where debug files, alt files and split units are looked for, as paths.
#include <gtest/gtest.h>

#include "DebugSearch.h"

namespace {

QByteArray Joined(const QByteArrayList &paths)
{
    return paths.join(' ');
}

TEST(DebugSearch, DebugFilesByBuildIdThenByLink)
{
    const QByteArray id = QByteArray::fromHex("abcdef0123");
    EXPECT_EQ(
        Joined(DebugFileCandidates(id, "/usr/bin/prog", "/proc/9/root/usr/bin/prog", "prog.debug")),
        "/usr/lib/debug/.build-id/ab/cdef0123.debug /proc/9/root/usr/bin/prog.debug "
        "/proc/9/root/usr/bin/.debug/prog.debug /usr/lib/debug/usr/bin/prog.debug");
    EXPECT_EQ(Joined(DebugFileCandidates({}, "/usr/bin/prog", {}, "prog.debug")),
              "/usr/bin/prog.debug /usr/bin/.debug/prog.debug /usr/lib/debug/usr/bin/prog.debug");
    // A link that names a folder is not followed; no link, no build-id: nothing.
    EXPECT_EQ(Joined(DebugFileCandidates({}, "/usr/bin/prog", {}, "../etc/passwd")), "");
    EXPECT_TRUE(DebugFileCandidates({}, "/usr/bin/prog", {}, {}).isEmpty());
}

TEST(DebugSearch, AltFilesByBuildIdThenByTheirLink)
{
    const QByteArray id = QByteArray::fromHex("0102");
    EXPECT_EQ(Joined(AltFileCandidates(id, "/usr/lib/debug/.build-id/aa/b.debug",
                                       "../../.dwz/x86_64-linux-gnu/libc6.debug")),
              "/usr/lib/debug/.build-id/01/02.debug "
              "/usr/lib/debug/.build-id/aa/../../.dwz/x86_64-linux-gnu/libc6.debug");
    EXPECT_EQ(Joined(AltFileCandidates({}, "/x/y.debug", "/abs/alt.debug")), "/abs/alt.debug");
}

// libdw's own joining: the .dwo beside the file it read, then under the compilation folder,
// absolute or relative to that file's folder (reproducible builds record "sub" or ".").
TEST(DebugSearch, SplitUnitsWhereLibdwLooks)
{
    const struct {
        const char *dwo, *compDir, *folder, *paths;
    } rows[] = {
        {"a.dwo", "/build", "/opt/p/", "/opt/p/a.dwo /build/a.dwo"},
        {"a.dwo", "sub", "/opt/p/", "/opt/p/a.dwo /opt/p/sub/a.dwo"},
        {"a.dwo", "sub/", "/opt/p/", "/opt/p/a.dwo /opt/p/sub/a.dwo"},
        {"a.dwo", ".", "/opt/p/", "/opt/p/a.dwo /opt/p/./a.dwo"},
        {"a.dwo", "", "/opt/p/", "/opt/p/a.dwo"},
        {"/abs/a.dwo", "/build", "/opt/p/", "/abs/a.dwo"},
        {"a.dwo", "sub", "", ""},                // no folder: relative paths lead nowhere
        {"a.dwo", "/build", "", "/build/a.dwo"}, // but an absolute compilation folder does
        {"", "/build", "/opt/p/", ""},
    };
    for (const auto &row : rows)
        EXPECT_EQ(Joined(SplitUnitCandidates(row.dwo, row.compDir, row.folder)), row.paths)
            << row.dwo << " " << row.compDir << " " << row.folder;
}

} // namespace
