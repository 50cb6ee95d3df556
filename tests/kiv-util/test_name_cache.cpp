// The name cache's failure modes: what it reads back is what was written for that module and
// those debug files, or nothing; never a torn entry, whatever happens while it is written.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#if !defined(_WIN32)
#include <csignal>
#include <sys/resource.h>
#endif

#include "NameCache.h"

namespace {

const QByteArray kId = QByteArray::fromHex("93ac61ec5a8eb1396f9fbd350e3169a558528a40");
const QByteArray kOther = QByteArray::fromHex("19470f7a3811ef37d5be76c90ef21396c232aa78");
const QByteArray kStamp = "file\n/usr/lib/debug/x.debug 4166896 1 1.5";

CodeSymbol Symbol(const QString &function)
{
    CodeSymbol symbol;
    symbol.function = function;
    symbol.start = 0x1000;
    symbol.entry = 0x1000;
    symbol.file = QStringLiteral("a.c");
    symbol.line = 7;
    symbol.inlined = {{QStringLiteral("inner"), QStringLiteral("b.h"), 3}};
    return symbol;
}

// One module's names, written by a viewer that then goes away.
bool Save(const QString &folder, const QByteArray &id, int names)
{
    NameCache cache(folder);
    for (int i = 0; i < names; ++i)
        cache.KeepName(id, kStamp, 0x1000 + i, Symbol(QStringLiteral("f%1").arg(i)));
    cache.KeepTailCalls(id, kStamp, 0x2005, kOther, 0x3000, {0x3010, 0x3020});
    return cache.Save();
}
void Written(const QString &folder, const QByteArray &id, int names)
{
    ASSERT_TRUE(Save(folder, id, names));
}

// Whether a new viewer finds the names that Written left, whole.
bool ReadsBack(const QString &folder, const QByteArray &id, const QByteArray &stamp, int names)
{
    NameCache cache(folder);
    for (int i = 0; i < names; ++i) {
        CodeSymbol symbol;
        if (!cache.FindName(id, stamp, 0x1000 + i, &symbol) ||
            symbol.function != QStringLiteral("f%1").arg(i) || symbol.inlined.size() != 1 ||
            symbol.inlined[0].line != 3)
            return false;
    }
    QVector<uint64_t> chain;
    return cache.FindTailCalls(id, stamp, 0x2005, kOther, 0x3000, &chain) &&
           chain == QVector<uint64_t>({0x3010, 0x3020});
}

TEST(NameCache, ReadsBackOnlyWhatWasWrittenWhole)
{
    struct Case {
        const char *what;
        std::function<void(const QString &folder)> harm;
        QByteArray stamp;
        bool found;
    } cases[] = {
        {"as written", [](const QString &) {}, kStamp, true},
        {"the debug files changed since (a debug package installed)", [](const QString &) {},
         kStamp + "\n/usr/lib/debug/.build-id/93/ac.debug 1 2 3.4", false},
        {"torn: cut short",
         [](const QString &folder) {
             QFile file(NameCache(folder).PathOf(kId));
             ASSERT_TRUE(file.open(QIODevice::ReadWrite));
             ASSERT_TRUE(file.resize(file.size() / 2));
         },
         kStamp, false},
        {"a byte changed",
         [](const QString &folder) {
             QFile file(NameCache(folder).PathOf(kId));
             ASSERT_TRUE(file.open(QIODevice::ReadWrite));
             QByteArray bytes = file.readAll();
             bytes[bytes.size() - 9] = static_cast<char>(bytes[bytes.size() - 9] ^ 0x40);
             file.seek(0);
             file.write(bytes);
         },
         kStamp, false},
        {"another module's entry under this one's build-id",
         [](const QString &folder) {
             Written(folder, kOther, 4);
             QFile::remove(NameCache(folder).PathOf(kId));
             ASSERT_TRUE(
                 QFile::copy(NameCache(folder).PathOf(kOther), NameCache(folder).PathOf(kId)));
         },
         kStamp, false},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.what);
        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("norva-pstack"));
        Written(folder, kId, 4);
        test.harm(folder);
        EXPECT_EQ(ReadsBack(folder, kId, test.stamp, 4), test.found);
        // A harmed entry is written anew by the next viewer that learns the names.
        Written(folder, kId, 4);
        EXPECT_TRUE(ReadsBack(folder, kId, kStamp, 4));
    }
    qputenv("NORVA_PSTACK_CACHE", "off");
    EXPECT_TRUE(NameCache::DefaultFolder().isEmpty()) << "turned off";
    qunsetenv("NORVA_PSTACK_CACHE");
}

// Two viewers writing one module's entry at once, a third reading it all along: every state of
// the entry a reader can open is whole (one writer's or the other's), never a torn one. (On
// Windows a file open elsewhere cannot be replaced or opened while being replaced: there a
// viewer may miss the entry or keep the old one for once; on Linux never.)
TEST(NameCache, TwoViewersAtOnceNeverLeaveATornEntry)
{
    QTemporaryDir dir, seen;
    const QString folder = dir.filePath(QStringLiteral("norva-pstack"));
    Written(folder, kId, 64);
    std::atomic<bool> done{false};
    std::atomic<int> torn{0}, reads{0}, missed{0}, unsaved{0};
    std::thread reader([&] {
        QFile entry(folder + QLatin1Char('/') + QString::fromLatin1(kId.toHex()));
        QFile copy(seen.filePath(QString::fromLatin1(kId.toHex())));
        while (!done) {
            if (!entry.open(QIODevice::ReadOnly)) {
                ++missed;
                continue;
            }
            const QByteArray bytes = entry.readAll();
            entry.close();
            copy.open(QIODevice::WriteOnly | QIODevice::Truncate);
            copy.write(bytes);
            copy.close();
            torn += !ReadsBack(seen.path(), kId, kStamp, 64);
            ++reads;
        }
    });
    const auto writer = [&](int names) {
        for (int round = 0; round < 100; ++round)
            unsaved += !Save(folder, kId, names);
    };
    std::thread a(writer, 64), b(writer, 96);
    a.join();
    b.join();
    done = true;
    reader.join();
    EXPECT_EQ(torn, 0) << "of " << reads << " reads";
    EXPECT_GT(reads, 0);
#if !defined(_WIN32)
    EXPECT_EQ(missed, 0);
    EXPECT_EQ(unsaved, 0);
#endif
    EXPECT_TRUE(ReadsBack(folder, kId, kStamp, 64));
    EXPECT_EQ(QDir(folder).entryList(QDir::Files | QDir::Hidden).size(), 1) << "no file left over";
}

#if !defined(_WIN32)
// A disk that takes no more: the save fails, the entry there stays as it was, nothing half
// written is left behind.
TEST(NameCache, FullDiskKeepsTheEntryThatWasThere)
{
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("norva-pstack"));
    Written(folder, kId, 4);
    rlimit before;
    getrlimit(RLIMIT_FSIZE, &before);
    signal(SIGXFSZ, SIG_IGN);
    rlimit small = before;
    small.rlim_cur = 512; // bytes a file may grow to: less than an entry of 200 names
    setrlimit(RLIMIT_FSIZE, &small);
    NameCache cache(folder);
    for (int i = 0; i < 200; ++i)
        cache.KeepName(kId, kStamp, 0x9000 + i, Symbol(QStringLiteral("g%1").arg(i)));
    const bool saved = cache.Save();
    setrlimit(RLIMIT_FSIZE, &before);
    signal(SIGXFSZ, SIG_DFL);
    EXPECT_FALSE(saved);
    EXPECT_TRUE(ReadsBack(folder, kId, kStamp, 4));
    EXPECT_EQ(QDir(folder).entryList(QDir::Files | QDir::Hidden).size(), 1);
}
#endif

} // namespace
