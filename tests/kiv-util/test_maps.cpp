// The memory map as one snapshot parses it.
#include <gtest/gtest.h>

#include "Maps.h"

namespace {

TEST(Maps, LinesWithSpacesDeletedFilesAndNoPath)
{
    const std::vector<MapEntry> maps =
        ParseMaps("55d0a000-55d0b000 r-xp 00001000 08:01 131 /opt/my app/bin (deleted)\n"
                  "7f00-7f80 rw-p 00000000 00:00 0 \n"
                  "7ffc0000-7ffc2000 r-xp 00000000 00:00 0                  [vdso]\n"
                  "not a map line\n");
    ASSERT_EQ(maps.size(), 3u);
    EXPECT_EQ(maps[0].start, 0x55d0a000u);
    EXPECT_EQ(maps[0].path, QByteArray("/opt/my app/bin (deleted)"));
    EXPECT_TRUE(maps[0].exec && maps[0].fileBacked());
    EXPECT_EQ(maps[0].inode, 131u);
    EXPECT_EQ(maps[0].offset, 0x1000u);
    EXPECT_TRUE(maps[1].write && maps[1].path.isEmpty() && !maps[1].fileBacked());
    EXPECT_EQ(maps[2].path, QByteArray("[vdso]"));
}

} // namespace
