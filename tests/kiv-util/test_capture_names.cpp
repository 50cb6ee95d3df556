// Names and identity: a module file names frames only when it is the file the process maps, and
// a frame without a name can be named later.

#include "CaptureHelpers.h"
#include "DebugFiles.h"

namespace {

// A module file is the one the process maps, or it names nothing: a library replaced at the
// same addresses after the hold, a FIFO at a debug link or mounted over a library (opens that
// would wait for ever), and a btrfs subvolume (whose files stat gives another device than the
// map) read by an ordinary user.
TEST(StackCapture, ModuleFilesAreTheOnesMappedAndNeverMakeTheViewerWait)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner |
                                                      QFile::ExeOwner | QFile::ReadOther |
                                                      QFile::ExeOther));
    // Two libraries of one layout that a thread loads and unloads in turn.
    for (const char *name : {"A", "B"}) {
        const QString spin = QString(4, QLatin1Char(name[0] + 32)) + QStringLiteral("_spin");
        QFile source(dir.filePath(QStringLiteral("lib%1.c").arg(name)));
        ASSERT_TRUE(source.open(QIODevice::WriteOnly));
        source.write(("void " + spin +
                      "(void)\n{\n    for (volatile int i = 0; i < 3000000; ++i) "
                      "{\n    }\n}\n")
                         .toUtf8());
        source.close();
        ASSERT_TRUE(Tool("gcc", {"-O1", "-g", "-shared", "-fPIC", source.fileName(), "-o",
                                 dir.filePath(QStringLiteral("lib%1.so").arg(name))}));
    }
    {
        SCOPED_TRACE("libraries that take turns at one address");
        Helper helper(0, {QStringLiteral("churn-libs"), dir.path()});
        int right = 0, wrong = 0;
        for (int round = 0; round < 40; ++round) {
            const StackCapture capture = CaptureStacks(static_cast<unsigned long>(helper.pid()));
            for (const ThreadStack &thread : capture.threads) {
                for (const StackFrame &frame : thread.frames) {
                    const bool inA = frame.module == QLatin1String("libA.so");
                    const bool inB = frame.module == QLatin1String("libB.so");
                    right += (inA && frame.function.startsWith(QLatin1String("aaaa"))) ||
                             (inB && frame.function.startsWith(QLatin1String("bbbb")));
                    wrong += (inA && frame.function.startsWith(QLatin1String("bbbb"))) ||
                             (inB && frame.function.startsWith(QLatin1String("aaaa")));
                }
            }
        }
        EXPECT_EQ(wrong, 0) << "frames named from the other library; named right: " << right;
        EXPECT_GT(right, 0);
    }
    // One library of a chain whose debug file beside it is a FIFO.
    const QString chain = dir.filePath(QStringLiteral("chain"));
    ASSERT_TRUE(QDir().mkpath(chain) && BuildChain(chain, 1));
    ASSERT_TRUE(QFile::remove(chain + "/lib0.debug"));
    ASSERT_EQ(mkfifo((chain + "/lib0.debug").toLocal8Bit().constData(), 0644), 0);
    ASSERT_EQ(mkfifo(dir.filePath(QStringLiteral("fifo")).toLocal8Bit().constData(), 0644), 0);
    ASSERT_TRUE(Tool("chmod", {"-R", "a+rX", dir.path()}));
    {
        SCOPED_TRACE("a FIFO at a debug link");
        Helper helper(0, {QStringLiteral("chain"), chain, QStringLiteral("1")});
        EXPECT_TRUE(CaptureByCli(helper.pid()).contains(QStringLiteral("norva_chain+0x")));
    }
    if (geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
        GTEST_SKIP() << "needs root and setpriv for the cases of an ordinary user";
    {
        SCOPED_TRACE("two files mapped under one path");
        const QString twice = dir.filePath(QStringLiteral("twice"));
        ASSERT_TRUE(QDir().mkpath(twice));
        const char *sources[] = {
            "#include <unistd.h>\nvoid norva_first(void) { for (;;) pause(); }\n",
            "#include <unistd.h>\nvoid padding_one(void) { for (volatile int i = 0; i < 9; ++i) {} "
            "}\n"
            "void padding_two(void) { for (volatile int i = 0; i < 9; ++i) {} }\n"
            "void norva_second(void) { for (;;) pause(); }\n"};
        for (int i = 0; i < 2; ++i) {
            QFile c(twice + QStringLiteral("/lib%1.c").arg(i + 1));
            ASSERT_TRUE(c.open(QIODevice::WriteOnly));
            c.write(sources[i]);
            c.close();
            ASSERT_TRUE(Tool("gcc", {"-O1", "-g", "-shared", "-fPIC", c.fileName(), "-o",
                                     twice + QStringLiteral("/lib%1.so").arg(i + 1)}));
        }
        ASSERT_TRUE(QFile::copy(twice + "/lib1.so", twice + "/lib.so"));
        Helper helper(0, {QStringLiteral("two-files"), twice},
                      {"unshare", "-m", "--propagation", "private", NORVA_STACK_HELPER});
        ASSERT_TRUE(Tool("nsenter", {"-t", QString::number(helper.pid()), "-m", "mount", "--bind",
                                     twice + "/lib2.so", twice + "/lib.so"}));
        ASSERT_EQ(helper.Ask("next"), "loaded");
        const QString shown = CaptureText(helper);
        EXPECT_TRUE(shown.contains(QStringLiteral("norva_first+")) &&
                    shown.contains(QStringLiteral("norva_second+")) &&
                    !shown.contains(QStringLiteral("padding_")))
            << shown.toStdString();
    }
    const QStringList nobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    {
        SCOPED_TRACE("a FIFO mounted over a library in the target's own namespaces");
        // A copy the namespace's user can reach whatever folders the build lies under.
        const QString helperCopy = dir.filePath(QStringLiteral("helper"));
        ASSERT_TRUE(QFile::copy(QStringLiteral(NORVA_STACK_HELPER), helperCopy));
        ASSERT_TRUE(Tool("chmod", {"a+rx", helperCopy}));
        Helper helper(0, {QStringLiteral("chain"), chain, QStringLiteral("1")},
                      nobody + QStringList{"unshare", "-Urm", helperCopy});
        const qint64 pid = helper.pid(); // unshare has become the helper
        ASSERT_TRUE(Tool("nsenter", {"-t", QString::number(pid), "-U", "-m", "mount", "--bind",
                                     dir.filePath("fifo"), chain + "/lib0.so"}));
        const QString shown = CaptureByCli(pid, nobody);
        EXPECT_TRUE(shown.contains(QStringLiteral("is not the one the process has mapped")))
            << shown.toStdString();
    }
    if (QStandardPaths::findExecutable(QStringLiteral("mkfs.btrfs")).isEmpty() ||
        !QFile::exists(QStringLiteral("/dev/loop-control")))
        GTEST_SKIP() << "needs mkfs.btrfs (btrfs-progs) and loop devices";
    {
        SCOPED_TRACE("a btrfs subvolume, read by an ordinary user");
        const QString image = dir.filePath(QStringLiteral("btrfs.img")),
                      mount = dir.filePath(QStringLiteral("btrfs"));
        ASSERT_TRUE(QFile(image).open(QIODevice::WriteOnly) && QFile(image).resize(300ll << 20));
        ASSERT_TRUE(QDir().mkpath(mount));
        ASSERT_TRUE(Tool("mkfs.btrfs", {"-q", image}));
        ASSERT_TRUE(Tool("mount", {"-o", "loop", image, mount}));
        const QString sub = mount + QStringLiteral("/sub");
        EXPECT_TRUE(Tool("btrfs", {"-q", "subvolume", "create", sub}));
        EXPECT_TRUE(QFile::copy(QStringLiteral(NORVA_STACK_HELPER), sub + "/helper"));
        EXPECT_TRUE(Tool("chmod", {"-R", "a+rx", mount}));
        {
            Helper helper(2, {}, nobody + QStringList{sub + "/helper"});
            const QString shown = CaptureByCli(helper.pid(), nobody);
            EXPECT_TRUE(shown.contains(QStringLiteral("norva_wait_here()")) &&
                        !shown.contains(QStringLiteral("truncated")))
                << shown.toStdString();
        }
        EXPECT_TRUE(Tool("umount", {mount}));
    }
}

// A frame in a binary without symbols shows its module and the offset in it, which the
// unstripped binary names.
TEST(StackCapture, FramesWithoutNamesCanBeNamedLater)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString stripped = dir.filePath(QStringLiteral("stripped-helper"));
    ASSERT_TRUE(Tool("objcopy", {"--strip-all", NORVA_STACK_HELPER, stripped}));
    const QString shown = CaptureText(Helper(1, {}, {stripped}));
    QStringList named;
    const QRegularExpression frame(QStringLiteral(" stripped-helper\\+(0x[0-9a-f]+)\n"));
    for (auto it = frame.globalMatch(shown); it.hasNext();) {
        QProcess addr2line;
        addr2line.start(QStringLiteral("addr2line"),
                        {QStringLiteral("-f"), QStringLiteral("-i"), QStringLiteral("-C"),
                         QStringLiteral("-e"), QStringLiteral(NORVA_STACK_HELPER),
                         it.next().captured(1)});
        ASSERT_TRUE(addr2line.waitForFinished(10000));
        // Function and place, for each function inlined there and the one it is inlined into.
        const QStringList lines = QString::fromUtf8(addr2line.readAllStandardOutput()).split('\n');
        for (int i = 0; i < lines.size(); i += 2)
            named << lines[i];
    }
    EXPECT_TRUE(named.contains(QStringLiteral("(anonymous namespace)::norva_wait_here()")) &&
                named.contains(QStringLiteral("h")))
        << named.join(' ').toStdString() << shown.toStdString();
}

} // namespace
