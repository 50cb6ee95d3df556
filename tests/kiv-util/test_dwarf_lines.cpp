// The lines and inlined calls DWARF gives at an address, judged by llvm-symbolizer.
#include <QProcess>
#include <QStandardPaths>
#include <gtest/gtest.h>

#include "WineModules.h"

namespace {

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
        DwarfIndex dwarf(DwarfSectionsOf(pe));
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
