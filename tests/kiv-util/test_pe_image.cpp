// Windows module files as bytes: identity, exports and the names they give code.
#include <gtest/gtest.h>

#include "WineModules.h"

namespace {

TEST(PeImage, ExportsNameCodeOnlyWhereNothingElseBeginsBetween)
{
    const QByteArray bytes = ReadAll(WineModule("ntdll.dll"));
    if (bytes.isEmpty())
        GTEST_SKIP() << "no Wine ntdll.dll here";
    PeImage pe;
    ASSERT_TRUE(pe.Parse(reinterpret_cast<const uint8_t *>(bytes.constData()), bytes.size()));
    EXPECT_EQ(pe.is64(), sizeof(void *) == 8); // a 32-bit program sees the 32-bit ntdll.dll
    ASSERT_FALSE(pe.exports().empty());
    uint32_t wait = 0;
    for (const PeImage::Symbol &symbol : pe.exports())
        if (symbol.name == "NtWaitForMultipleObjects")
            wait = symbol.rva;
    ASSERT_NE(wait, 0u);
    std::string name;
    uint32_t start = 0;
    EXPECT_EQ(pe.NameAt(wait + 4, &name, &start), PeImage::NameSource::Exports);
    EXPECT_EQ(name, "NtWaitForMultipleObjects");
    EXPECT_EQ(start, wait);
    // Not code, not in the file, or garbage: no name.
    EXPECT_EQ(pe.NameAt(0, &name, &start), PeImage::NameSource::None);
    EXPECT_EQ(pe.NameAt(0xfffffff0, &name, &start), PeImage::NameSource::None);
    PeImage broken;
    EXPECT_FALSE(broken.Parse(reinterpret_cast<const uint8_t *>(bytes.constData()), 0x100));
    const QByteArray cut = bytes.left(bytes.size() / 3); // sections past the end of the buffer
    PeImage part;
    if (part.Parse(reinterpret_cast<const uint8_t *>(cut.constData()), cut.size())) {
        part.NameAt(wait + 4, &name, &start);
        DwarfIndex dwarf(DwarfSectionsOf(part));
        DwarfIndex::Function function;
        dwarf.At(pe.imageBase() + wait, &function); // reads nothing past the buffer
    }
}

} // namespace
