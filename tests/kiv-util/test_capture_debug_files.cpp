// Debug files: found in every form, read within their bounds, kept for later targets only when
// they are the very same files, never a file libdw would open unchecked.

#include "CaptureHelpers.h"
#include "DebugFiles.h"

namespace {

// A viewer writes nothing but its name cache (one file a module, by build-id, under the user's
// cache folder), and a later viewer names every frame from it as the first did from the debug
// information; turned off, it writes nothing at all.
TEST(StackCapture, WritesOnlyItsNameCacheAndSharesDebugInformationAcrossTargets)
{
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    ASSERT_TRUE(QDir(home.path()).mkdir(QStringLiteral(".cache"))); // as in any used home
    auto libcLines = [](qint64 pid) {
        const StackCapture capture = CaptureStacks(static_cast<unsigned long>(pid));
        int lines = 0;
        for (const ThreadStack &thread : capture.threads)
            for (const StackFrame &frame : thread.frames)
                lines += frame.module == QStringLiteral("libc.so.6") && frame.line > 0;
        return capture.ok ? lines : -1;
    };
    int first = 0, second = 0;
    {
        Helper helper(2);
        first = libcLines(helper.pid());
    }
    {
        Helper helper(2); // a new target, the same C library
        second = libcLines(helper.pid());
    }
    EXPECT_GE(first, 0);
    EXPECT_EQ(second, first) << "the second target gets the same names and lines";
    // Viewers started with a debuginfod server named (nothing listens there): still only this
    // machine's files.
    const auto viewer = [&home](qint64 pid, const QString &cache, bool off) {
        QProcess viewer;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), home.path());
        env.insert(QStringLiteral("XDG_CACHE_HOME"), home.filePath(cache));
        env.insert(QStringLiteral("DEBUGINFOD_URLS"), QStringLiteral("http://127.0.0.1:9/"));
        if (off)
            env.insert(QStringLiteral("NORVA_PSTACK_CACHE"), QStringLiteral("off"));
        viewer.setProcessEnvironment(env);
        viewer.start(QStringLiteral(NORVA_CAPTURE_CLI), {"--frames", QString::number(pid)});
        EXPECT_TRUE(viewer.waitForFinished(20000));
        return viewer.readAllStandardOutput();
    };
    Helper helper(1);
    const QByteArray cold = viewer(helper.pid(), QStringLiteral(".cache"), false);
    EXPECT_TRUE(cold.contains("norva_wait_here"));
    EXPECT_EQ(viewer(helper.pid(), QStringLiteral(".cache"), false), cold);
    ASSERT_TRUE(QDir(home.path()).mkdir(QStringLiteral("off")));
    EXPECT_EQ(viewer(helper.pid(), QStringLiteral("off"), true), cold);
    EXPECT_EQ(QDir(home.filePath(QStringLiteral(".cache")))
                  .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{"norva-pstack"});
    const QStringList entries =
        QDir(home.filePath(QStringLiteral(".cache/norva-pstack")))
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    EXPECT_FALSE(entries.isEmpty());
    for (const QString &entry : entries)
        EXPECT_TRUE(QRegularExpression(QStringLiteral("^[0-9a-f]{16,}$")).match(entry).hasMatch())
            << entry.toStdString();
    EXPECT_TRUE(QDir(home.filePath(QStringLiteral("off")))
                    .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
                    .isEmpty());
}

TEST(StackCapture, ModuleAndDebugFilesAreTheOnesTheTargetSees)
{
    if (QStandardPaths::findExecutable(QStringLiteral("objcopy")).isEmpty())
        GTEST_SKIP() << "needs objcopy";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString debug = dir.filePath(QStringLiteral("helper.debug"));
    ASSERT_TRUE(Tool("objcopy", {"--only-keep-debug", NORVA_STACK_HELPER, debug}));
    QFile bombFile(dir.filePath(QStringLiteral("bomb")));
    ASSERT_TRUE(bombFile.open(QIODevice::WriteOnly));
    bombFile.write(ZeroBomb(320ull << 20)); // more than one debug file may take
    bombFile.close();
    // Each folder: the helper without symbols, and a debug file beside it that it links to;
    // all with the same build-id.
    const auto folder = [&](const QString &name, const QStringList &debugChange) {
        const QString at = dir.filePath(name);
        QDir().mkpath(at);
        EXPECT_TRUE(Tool("objcopy", debugChange + QStringList{debug, at + "/helper.debug"}));
        EXPECT_TRUE(Tool("objcopy", {"--strip-all", "--add-gnu-debuglink=" + at + "/helper.debug",
                                     NORVA_STACK_HELPER, at + "/helper"}));
        return at + "/helper";
    };
    // (Without its debug information, a frame is named by its symbol.)
    const QString planted =
        folder("planted", {"--strip-debug", "--redefine-sym",
                           "_ZN12_GLOBAL__N_115norva_wait_hereEv=planted_here"});
    const QString genuine = folder("genuine", {});
    const QString loose = folder("loose", {"--add-section", ".zdebug_loc=" + bombFile.fileName()});
    const QString needed =
        folder("needed", {"--add-section", ".zdebug_addr=" + bombFile.fileName()});

    // A target's own debug file names its frames, and no other target's.
    EXPECT_TRUE(CaptureText(Helper(2, {}, {planted})).contains(QStringLiteral("planted_here")));
    const QString shown = CaptureText(Helper(2, {}, {genuine}));
    EXPECT_TRUE(shown.contains(QStringLiteral("norva_wait_here()"))) << shown.toStdString();
    EXPECT_FALSE(shown.contains(QStringLiteral("planted_here")));

    // A bomb in a section nobody reads is never inflated; one in a needed section skips the
    // file, and the text says so.
    const QString loosely = CaptureText(Helper(2, {}, {loose}));
    EXPECT_TRUE(loosely.contains(QStringLiteral("norva_wait_here()"))) << loosely.toStdString();
    EXPECT_LT(DebugFileCacheBytes(), 64ull << 20);
    const QString skipped = CaptureText(Helper(2, {}, {needed}));
    EXPECT_TRUE(skipped.contains(QStringLiteral("was skipped")) &&
                skipped.contains(QStringLiteral("needed/helper.debug")))
        << skipped.left(500).toStdString();
    EXPECT_LT(DebugFileCacheBytes(), 64ull << 20);

    // A bomb among a module's own compressed sections is left out before libdw would inflate
    // it: a compressed debug section, or a MiniDebugInfo symbol table (xz) in a module that has
    // no other.
    const QString xzBomb = dir.filePath(QStringLiteral("xz-bomb"));
    ASSERT_TRUE(Tool("sh", {"-c", "head -c 335544320 /dev/zero | xz -0 >" + xzBomb}));
    const struct {
        const char *name;
        QStringList change;
        const char *note;
        bool named; // from the module's own symbols still
    } bombs[] = {
        {"zdebug",
         {"--add-section", ".zdebug_addr=" + bombFile.fileName()},
         "compressed debug sections of",
         true},
        // A section nobody reads (libdw would inflate it as it opens the file): left out
        // without a word.
        {"unread", {"--add-section", ".zdebug_macro=" + bombFile.fileName()}, "", true},
        {"minidebuginfo",
         {"--strip-all", "--add-section", ".gnu_debugdata=" + xzBomb},
         "MiniDebugInfo symbol table of",
         false},
    };
    for (const auto &bomb : bombs) {
        SCOPED_TRACE(bomb.name);
        const QString inModule = dir.filePath(QString::fromLatin1(bomb.name));
        ASSERT_TRUE(Tool("objcopy", bomb.change + QStringList{NORVA_STACK_HELPER, inModule}));
        ASSERT_TRUE(QFile::setPermissions(inModule, QFile::ReadOwner | QFile::ExeOwner));
        QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
        ASSERT_TRUE(clearRefs.open(QIODevice::WriteOnly) && clearRefs.write("5") == 1); // peak
        clearRefs.close();
        const long long before = StatusField(getpid(), "VmHWM:").split(' ').value(0).toLongLong();
        const QString leftOut = CaptureText(Helper(2, {}, {inModule}));
        const long long after = StatusField(getpid(), "VmHWM:").split(' ').value(0).toLongLong();
        EXPECT_TRUE(leftOut.contains(QLatin1String(bomb.note))) << leftOut.left(500).toStdString();
        EXPECT_EQ(leftOut.contains(QStringLiteral("norva_wait_here()")), bomb.named);
        EXPECT_LT(after - before, 100 * 1024) << "kB more at the peak";
    }

    // Another file mounted over the mapped one, in the target's own mount namespace: the names
    // come from the file it runs, or from nowhere.
    if (geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("unshare")).isEmpty())
        GTEST_SKIP() << "needs root, unshare and nsenter for a mount namespace";
    Helper hidden(2, {}, {"unshare", "-m", "--propagation", "private", genuine});
    ASSERT_TRUE(Tool("nsenter", {"-t", QString::number(hidden.pid()), "-m", "mount", "--bind",
                                 NORVA_CAPTURE_CLI, genuine}));
    const QString behind = CaptureText(hidden);
    EXPECT_TRUE(behind.contains(QStringLiteral("norva_wait_here()"))) << behind.toStdString();
}

// The files libdw would open by itself are checked first, at every path it tries: a split unit
// under a relative compilation folder (reproducible builds) that is a bomb, or a FIFO; and a
// debug link of a program without a build-id that names a 20 GiB file, whose CRC was computed
// before anything else (49.9 s).
TEST(StackCapture, FilesLibdwWouldOpenAreCheckedFirst)
{
    for (const char *tool : {"gcc", "objcopy", "truncate"})
        if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
            GTEST_SKIP() << "needs " << tool;
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QFile source(dir.filePath(QStringLiteral("split.c")));
    ASSERT_TRUE(source.open(QIODevice::WriteOnly));
    source.write("#include <stdio.h>\n#include <unistd.h>\n"
                 "__attribute__((noinline)) void split_waits(void)\n"
                 "{ char c; read(0, &c, 1); __asm__ volatile(\"\"); }\n"
                 "int main(void) { puts(\"ready\"); fflush(stdout); split_waits(); return 0; }\n");
    source.close();
    QFile bombFile(dir.filePath(QStringLiteral("bomb.zlib")));
    ASSERT_TRUE(bombFile.open(QIODevice::WriteOnly));
    bombFile.write(ZeroBomb(320ull << 20));
    bombFile.close();
    // Compiled in <name>/sub with its compilation folder recorded as "sub" and linked into
    // <name>: libdw looks for the split unit at <name>/split.dwo, then <name>/sub/split.dwo.
    const auto build = [&](const QString &name, const QStringList &options) {
        const QString at = dir.filePath(name);
        QDir().mkpath(at + "/sub");
        const auto gcc = [&](const QStringList &args) {
            QProcess run;
            run.setWorkingDirectory(at + "/sub");
            run.start(QStringLiteral("gcc"), args);
            EXPECT_TRUE(run.waitForFinished(60000) && run.exitCode() == 0)
                << run.readAllStandardError().toStdString();
        };
        gcc(QStringList{"-O1", "-g", "-fdebug-prefix-map=" + at + "/sub=sub", "-c"} + options +
            QStringList{source.fileName(), "-o", "split.o"});
        gcc(QStringList{"split.o", "-o", at + "/split"} + options);
        return at;
    };
    const auto peak = [] {
        QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
        EXPECT_TRUE(clearRefs.open(QIODevice::WriteOnly) && clearRefs.write("5") == 1);
    };
    const auto peakKb = [] {
        return StatusField(getpid(), "VmHWM:").split(' ').value(0).toLongLong();
    };
    {
        SCOPED_TRACE("a split unit whose sections inflate to 320 MiB");
        const QString at = build(QStringLiteral("bomb"), {"-gsplit-dwarf"});
        ASSERT_TRUE(Tool("objcopy", {"--add-section", ".zdebug_loclists.dwo=" + bombFile.fileName(),
                                     at + "/sub/split.dwo"}));
        peak();
        const long long before = peakKb();
        const QString shown = CaptureText(Helper(0, {}, {at + "/split"}));
        EXPECT_LT(peakKb() - before, 100 * 1024) << "kB more at the peak";
        EXPECT_TRUE(shown.contains(QStringLiteral("the split unit"))) << shown.toStdString();
        EXPECT_TRUE(shown.contains(QStringLiteral("split_waits+0x"))) << "from the symbols";
    }
    {
        SCOPED_TRACE("a FIFO where the split unit would be");
        const QString at = build(QStringLiteral("fifo"), {"-gsplit-dwarf"});
        ASSERT_TRUE(QFile::remove(at + "/sub/split.dwo"));
        ASSERT_EQ(mkfifo((at + "/sub/split.dwo").toLocal8Bit().constData(), 0644), 0);
        QElapsedTimer timer;
        timer.start();
        const QString shown = CaptureText(Helper(0, {}, {at + "/split"}));
        EXPECT_TRUE(shown.contains(QStringLiteral("the split unit"))) << shown.toStdString();
        EXPECT_LT(timer.elapsed(), 10000);
    }
    {
        SCOPED_TRACE("a debug link to a 20 GiB file that is no ELF file");
        const QString at = build(QStringLiteral("link"), {"-Wl,--build-id=none"});
        ASSERT_TRUE(Tool("truncate", {"-s", "20G", at + "/split.debug"}));
        // The link by hand: objcopy would read the 20 GiB for its CRC too.
        QFile link(at + "/link");
        ASSERT_TRUE(link.open(QIODevice::WriteOnly));
        link.write(QByteArray("split.debug\0\0\0\0\x78\x56\x34\x12", 16));
        link.close();
        // Without debug information of its own, so that the link is followed.
        ASSERT_TRUE(Tool("objcopy", {"--strip-debug", "--add-section",
                                     ".gnu_debuglink=" + link.fileName(), at + "/split"}));
        QElapsedTimer timer;
        timer.start();
        const QString shown = CaptureText(Helper(0, {}, {at + "/split"}));
        EXPECT_LT(timer.elapsed(), 10000) << "the whole file was read";
        EXPECT_TRUE(shown.contains(QStringLiteral("split_waits"))) << shown.toStdString();
    }
}

// Open files stay bounded whatever the targets were: a target of many modules with debug files
// of their own, captured again and again under a low limit, leaves room for the next one.
TEST(StackCapture, OpenFilesStayBoundedAcrossTargetsOfManyModules)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(BuildChain(dir.path(), 60));
    Helper many(0, {QStringLiteral("chain"), dir.path(), QStringLiteral("60")});
    Helper plain(1);
    const QString big = QString::number(many.pid());
    QProcess viewer;
    viewer.start(QStringLiteral("prlimit"),
                 {"--nofile=128", NORVA_CAPTURE_CLI, big, big, big, QString::number(plain.pid())});
    ASSERT_TRUE(viewer.waitForFinished(60000));
    const QStringList texts = AsShown(QString::fromUtf8(viewer.readAllStandardOutput()))
                                  .split(QStringLiteral("No stack traces"));
    const QString shown = texts.join(QStringLiteral("No stack traces"));
    EXPECT_EQ(texts.size(), 1) << shown.left(2000).toStdString();
    EXPECT_EQ(shown.count(QStringLiteral("norva_chain+")), 3 * 60) << "named from each debug file";
    EXPECT_TRUE(shown.contains(QStringLiteral("norva_wait_here()")));
}

// The bound on inflated debug copies holds where the memory is: a target whose debug files
// inflate to more than the bound gets some of them, and a note for the rest.
TEST(StackCapture, InflatedDebugCopiesStayUnderTheirBound)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QFile bomb(dir.filePath(QStringLiteral("bomb")));
    ASSERT_TRUE(bomb.open(QIODevice::WriteOnly));
    bomb.write(ZeroBomb(16ull << 20));
    bomb.close();
    ASSERT_TRUE(BuildChain(dir.path(), 40, {"--compress-debug-sections=zlib"},
                           {"--add-section", ".zdebug_addr=" + bomb.fileName()}));
    Helper many(0, {QStringLiteral("chain"), dir.path(), QStringLiteral("40")});
    const QString shown = CaptureText(many);
    // The copies alive: every in-memory debug file this process holds, once each.
    QSet<ino_t> seen;
    unsigned long long bytes = 0;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString &fd : fds.entryList(QDir::AllEntries | QDir::System)) {
        const QByteArray path = fds.filePath(fd).toLocal8Bit();
        char target[256] = {};
        struct stat st;
        if (readlink(path.constData(), target, sizeof(target) - 1) > 0 &&
            std::strstr(target, "norva-debuginfo") && stat(path.constData(), &st) == 0 &&
            !seen.contains(st.st_ino)) {
            seen.insert(st.st_ino);
            bytes += static_cast<unsigned long long>(st.st_size);
        }
    }
    EXPECT_LE(bytes, 512ull << 20);
    EXPECT_GE(bytes, 256ull << 20) << "as many as fit are used";
    EXPECT_TRUE(shown.contains(QStringLiteral("in use already takes the 512 MiB")))
        << shown.left(1000).toStdString();
}

} // namespace
