// Windows module files as the Windows capture reads them: exports and symbols that name code
// without debug information, and the lines DWARF gives, judged by llvm-symbolizer on real
// files (Wine's own modules, which carry DWARF 4, where the system has them).
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <gtest/gtest.h>

#include "DwarfLines.h"
#include "PeImage.h"

namespace {

QByteArray ReadAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Wine's 64-bit modules, or the test's own folder's when it runs on Windows.
QString WineModule(const char *name)
{
#if defined(_WIN32)
    return QStringLiteral("C:/windows/system32/") + QLatin1String(name);
#else
    return QStringLiteral("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/") + QLatin1String(name);
#endif
}

DwarfSections SectionsOf(const PeImage &pe)
{
    DwarfSections s;
    s.info = pe.SectionData(".debug_info");
    s.abbrev = pe.SectionData(".debug_abbrev");
    s.line = pe.SectionData(".debug_line");
    s.str = pe.SectionData(".debug_str");
    s.lineStr = pe.SectionData(".debug_line_str");
    s.ranges = pe.SectionData(".debug_ranges");
    s.rngLists = pe.SectionData(".debug_rnglists");
    s.addr = pe.SectionData(".debug_addr");
    s.strOffsets = pe.SectionData(".debug_str_offsets");
    return s;
}

QString Base(const std::string &path)
{
    return QString::fromStdString(path).section(QLatin1Char('/'), -1);
}

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
        DwarfIndex dwarf(SectionsOf(part));
        DwarfIndex::Function function;
        dwarf.At(pe.imageBase() + wait, &function); // reads nothing past the buffer
    }
}

// Every place the DWARF of Wine's modules gives, against llvm-symbolizer --inlining at the same
// addresses: a few bytes into each exported function, and past several calls.
TEST(DwarfIndex, LinesAgreeWithLlvmSymbolizer)
{
    const QString symbolizer = QStandardPaths::findExecutable(QStringLiteral("llvm-symbolizer"));
    if (symbolizer.isEmpty())
        GTEST_SKIP() << "needs llvm-symbolizer (llvm)";
    int compared = 0;
    for (const char *module : {"kernelbase.dll", "ntdll.dll", "msvcrt.dll"}) {
        SCOPED_TRACE(module);
        const QString path = WineModule(module);
        const QByteArray bytes = ReadAll(path);
        if (bytes.isEmpty())
            continue;
        PeImage pe;
        ASSERT_TRUE(pe.Parse(reinterpret_cast<const uint8_t *>(bytes.constData()), bytes.size()));
        DwarfIndex dwarf(SectionsOf(pe));
        std::vector<uint64_t> addresses;
        for (const PeImage::Symbol &symbol : pe.exports())
            for (uint32_t into : {1u, 9u, 0x31u, 0x77u})
                addresses.push_back(pe.imageBase() + symbol.rva + into);
        QByteArray input;
        for (uint64_t address : addresses)
            input += "0x" + QByteArray::number(qulonglong(address), 16) + '\n';
        QProcess judge;
        judge.start(symbolizer, {QStringLiteral("--inlining"), QStringLiteral("--obj=") + path});
        judge.write(input);
        judge.closeWriteChannel();
        ASSERT_TRUE(judge.waitForFinished(120000));
        const QStringList answers =
            QString::fromUtf8(judge.readAllStandardOutput()).split(QStringLiteral("\n\n"));
        ASSERT_GE(answers.size(), static_cast<int>(addresses.size()));
        int differences = 0;
        for (size_t i = 0; i < addresses.size(); ++i) {
            // Pairs of lines, innermost first: function, then file:line:column.
            const QStringList lines = answers[static_cast<int>(i)].split('\n', Qt::SkipEmptyParts);
            QStringList theirs, ours;
            for (int l = 0; l + 1 < lines.size(); l += 2) {
                const QStringList place = lines[l + 1].split(':');
                if (place.size() >= 2 && place[0] != QLatin1String("??") && place[1] != "0")
                    theirs << place[0].section('/', -1) + ':' + place[1];
            }
            DwarfIndex::Function function;
            dwarf.At(addresses[i], &function);
            for (const InlinedAt &call : function.inlined)
                if (call.place.line)
                    ours << Base(call.place.file) + ':' + QString::number(call.place.line);
            if (function.place.line)
                ours << Base(function.place.file) + ':' + QString::number(function.place.line);
            // Lines given are right; none is given where no function of the unit holds the
            // address (llvm-symbolizer then shows the line table's row all the same).
            if (!ours.isEmpty() && ours != theirs && ++differences <= 10)
                ADD_FAILURE() << std::hex << addresses[i] << ": ours "
                              << ours.join(' ').toStdString() << ", llvm-symbolizer "
                              << theirs.join(' ').toStdString();
            compared += !ours.isEmpty();
        }
        EXPECT_EQ(differences, 0);
    }
    if (compared == 0)
        GTEST_SKIP() << "no Wine modules with DWARF here";
    EXPECT_GT(compared, 1000);
    std::printf("[ figures  ] %d places agree with llvm-symbolizer\n", compared);
}

} // namespace
