// The peers that judge the capture on real programs: gdb for every frame, eu-stack for the
// frames with a return address on the stack.

#include "CaptureHelpers.h"
#include "DebugFiles.h"

namespace {

// A frame as eu-stack shows it: one for each return address on the stack, no inlined calls.
struct PeerFrame {
    uint64_t pc = 0;
    QString name;
};

QHash<long long, QVector<PeerFrame>> PeerStacks(qint64 pid)
{
    QProcess peer;
    peer.start(QStringLiteral("eu-stack"), {QStringLiteral("-p"), QString::number(pid)});
    peer.waitForFinished(60000);
    QHash<long long, QVector<PeerFrame>> stacks;
    long long tid = 0;
    const QRegularExpression frame(QStringLiteral("^#\\d+\\s+0x([0-9a-f]+)\\s*(.*)$"));
    for (const QString &line : QString::fromUtf8(peer.readAllStandardOutput()).split('\n')) {
        if (line.startsWith(QLatin1String("TID ")))
            tid = line.mid(4).section(':', 0, 0).toLongLong();
        else if (const QRegularExpressionMatch m = frame.match(line); m.hasMatch() && tid)
            stacks[tid].push_back({m.captured(1).toULongLong(nullptr, 16), m.captured(2)});
    }
    return stacks;
}

// A function's name with the C library's alias spellings and version taken off: the tools
// may pick different symbols for one address ("read", "__GI___libc_read").
QString Plain(QString name)
{
    name = name.section('@', 0, 0);
    for (const char *part : {"__GI_", "__libc_", "_new", "_impl"})
        name.remove(QLatin1String(part));
    while (name.startsWith('_'))
        name.remove(0, 1);
    return name;
}

// The frames of a thread that have a return address on the stack: inlined calls and tail calls
// are left to gdb, the judge of names (eu-stack misses inlined calls where the debug
// information is hard to read, in link-time optimised programs with their debug package
// installed, and shows no tail calls).
QVector<StackFrame> Physical(const QVector<StackFrame> &frames)
{
    QVector<StackFrame> physical;
    for (const StackFrame &frame : frames)
        if (!frame.inlined && !frame.tailCall)
            physical << frame;
    return physical;
}

// The threads of pid whose physical frames eu-stack finds at the same addresses as ours, and
// the frames among them that the two name differently where the judge (gdb) does not side with
// us; -1 threads when no capture came. judge(tid, pc, name): whether it names that frame so.
int CompareWithPeer(qint64 pid, QStringList *differences,
                    const std::function<bool(long long, uint64_t, const QString &)> &judge)
{
    const StackCapture ours = CaptureStacks(static_cast<unsigned long>(pid));
    const QHash<long long, QVector<PeerFrame>> theirs = PeerStacks(pid);
    if (!ours.ok)
        return -1;
    int compared = 0;
    for (const ThreadStack &thread : ours.threads) {
        const QVector<PeerFrame> peer = theirs.value(thread.tid);
        const QVector<StackFrame> frames = Physical(thread.frames);
        bool samePlaces = peer.size() == frames.size();
        for (int i = 0; samePlaces && i < peer.size(); ++i)
            samePlaces = peer[i].pc == frames[i].pc;
        if (!samePlaces)
            continue; // it moved between the two looks
        ++compared;
        for (int i = 0; i < peer.size(); ++i) {
            // A function may be one of its symbol's aliases, or its own name without class and
            // parameters.
            const QString a = Plain(frames[i].function), b = Plain(peer[i].name);
            if (a != b && (a.isEmpty() || b.isEmpty() || !(a.contains(b) || b.contains(a))) &&
                !judge(thread.tid, frames[i].pc, frames[i].function))
                *differences << QStringLiteral("thread %1 #%2 0x%3: ours \"%4\", eu-stack \"%5\"")
                                    .arg(thread.tid)
                                    .arg(i)
                                    .arg(frames[i].pc, 0, 16)
                                    .arg(frames[i].function, peer[i].name);
        }
    }
    return compared;
}

// One frame as a tool shows it, in the form of norva-capture-cli --frames and gdb_frames.py.
struct ShownFrame {
    QString kind; // normal, inline, tailcall; "omitted": one of those a deep stack left out
    uint64_t pc = 0;
    QString function, file;
    int line = 0;
    QString text; // the line it came from
};

using ShownStacks = QMap<long long, QVector<ShownFrame>>;

ShownStacks ParseFrames(const QString &text)
{
    ShownStacks stacks;
    long long tid = 0;
    for (const QString &line : text.split('\n')) {
        const QStringList f = line.split('\t');
        if (line.startsWith(QLatin1String("THREAD ")))
            tid = line.mid(7).toLongLong();
        else if (f.size() == 5 && tid)
            stacks[tid].push_back(
                {f[0], f[1].toULongLong(nullptr, 16), f[2], f[3], f[4].toInt(), line});
    }
    return stacks;
}

// A deep stack's left-out frames stand in as frames of any kind, name and place.
ShownStacks ShownOf(const StackCapture &capture)
{
    ShownStacks stacks;
    for (const ThreadStack &thread : capture.threads) {
        for (int i = 0; i < thread.frames.size(); ++i) {
            ShownFrame omitted;
            omitted.kind = QStringLiteral("omitted");
            for (int j = 0; i == thread.omittedAt && j < thread.omittedFrames; ++j)
                stacks[thread.tid].push_back(omitted);
            const StackFrame &frame = thread.frames[i];
            const QString kind = frame.inlined    ? QStringLiteral("inline")
                                 : frame.tailCall ? QStringLiteral("tailcall")
                                                  : QStringLiteral("normal");
            stacks[thread.tid].push_back({kind, frame.pc, frame.function, frame.file, frame.line,
                                          QStringLiteral("%1 %2 at %3:%4")
                                              .arg(kind, frame.function, frame.file)
                                              .arg(frame.line)});
        }
    }
    return stacks;
}

QString GdbFrames(qint64 pid)
{
    QProcess gdb;
    gdb.start(QStringLiteral("gdb"),
              {"-batch", "-nx", "-iex", "set auto-load off", "-iex", "set debuginfod enabled off",
               "-ex", "set backtrace past-main on", "-ex", "set backtrace past-entry on", "-p",
               QString::number(pid), "-x", QStringLiteral(NORVA_TESTS_DIR "/gdb_frames.py")});
    gdb.waitForFinished(120000);
    return QString::fromUtf8(gdb.readAllStandardOutput());
}

// A name as both tools spell it, up to its parameter list (one shows it, the other not) and the
// C library's alias spellings.
QString Comparable(QString name)
{
    name.remove(QRegularExpression(QStringLiteral(" \\[clone [^]]*\\]")));
    const QRegularExpression qualifiers(QStringLiteral("\\)( const| volatile| &&| &)*$"));
    if (const QRegularExpressionMatch m = qualifiers.match(name); m.hasMatch()) {
        int depth = 0;
        for (int i = m.capturedStart(); i >= 0; --i) {
            depth += name[i] == ')' ? 1 : name[i] == '(' ? -1 : 0;
            if (depth == 0) {
                if (!name.leftRef(i).endsWith(QLatin1String("operator")))
                    name.truncate(i); // not "operator()" itself
                break;
            }
        }
    }
    return Plain(name);
}

bool SameFrame(const ShownFrame &a, const ShownFrame &b)
{
    if (a.kind == QLatin1String("omitted") || b.kind == QLatin1String("omitted"))
        return !a.kind.isEmpty() && !b.kind.isEmpty();
    const bool samePlace =
        a.line == b.line && (a.line == 0 || a.file.section('/', -1) == b.file.section('/', -1));
    return a.kind == b.kind && a.pc == b.pc && Comparable(a.function) == Comparable(b.function) &&
           samePlace;
}

// The frames in which ours and gdb's differ, with both texts; threads whose real frames stand
// at other addresses in the two looks moved in between and are passed over when moving
// allows. *compared: the threads compared.
QStringList DifferencesWithGdb(const ShownStacks &ours, const ShownStacks &gdb, bool moving,
                               int *compared)
{
    // Where the frames with a return address stand, at the top of the stack and its bottom
    // (a deep stack of ours shows no more).
    const auto places = [](const QVector<ShownFrame> &frames) {
        QVector<uint64_t> pcs;
        for (int i = 0; i < frames.size(); ++i)
            if (frames[i].kind == QLatin1String("normal") && (i < 1000 || i >= frames.size() - 32))
                pcs << frames[i].pc;
        return pcs;
    };
    QStringList differences;
    *compared = 0;
    for (auto it = ours.begin(); it != ours.end(); ++it) {
        const QVector<ShownFrame> theirs = gdb.value(it.key());
        if (moving && places(theirs) != places(it.value()))
            continue;
        ++*compared;
        for (int i = 0; i < std::max(theirs.size(), it.value().size()); ++i) {
            const ShownFrame a = it.value().value(i), b = theirs.value(i);
            if (i >= it.value().size() || i >= theirs.size() || !SameFrame(a, b))
                differences << QStringLiteral("thread %1 #%2: ours \"%3\", gdb \"%4\"")
                                   .arg(it.key())
                                   .arg(i)
                                   .arg(a.text, b.text);
        }
    }
    return differences;
}

// One small program built the ways software ships, each looked at by this library and by gdb
// in a mount namespace where its debug files lie under /usr/lib/debug: every frame, inlined
// calls included, agrees in name, file and line.
TEST(StackCapture, DebugFormsAgreeWithGdb)
{
    for (const char *tool : {"gdb", "g++", "dwz", "xz", "unshare", "objcopy"})
        if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
            GTEST_SKIP() << "needs " << tool;
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a mount namespace of its own";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(Tool(QStringLiteral(NORVA_TESTS_DIR "/debug_forms.sh"), {dir.path()}));
    for (const char *form :
         {"plain", "dwarf4", "dwarf5", "buildid", "dwz", "split", "lto", "minidebuginfo"}) {
        SCOPED_TRACE(form);
        QProcess run;
        run.start(QStringLiteral(NORVA_TESTS_DIR "/frames_in_debug_root.sh"),
                  {dir.filePath(QStringLiteral("root")), QStringLiteral(NORVA_CAPTURE_CLI),
                   QStringLiteral("--"), dir.filePath(QLatin1String(form))});
        ASSERT_TRUE(run.waitForFinished(120000));
        const QStringList looks =
            QString::fromUtf8(run.readAllStandardOutput()).split(QStringLiteral("----\n"));
        ASSERT_EQ(looks.size(), 2) << run.readAllStandardError().toStdString();
        int compared = 0;
        const QStringList differences =
            DifferencesWithGdb(ParseFrames(looks[0]), ParseFrames(looks[1]), false, &compared);
        EXPECT_EQ(compared, 2);
        EXPECT_TRUE(differences.isEmpty()) << differences.join('\n').toStdString();
    }
}

// Frames agree with gdb, the judge (every frame, inlined calls and tail calls included: name,
// file and line), and the frames with a return address on the stack with eu-stack, a second
// opinion, on real programs: the helper waiting on locks, and behind tail calls, templates and
// a stack deeper than is shown whole; a Python program with threads and a recursion (with or
// without its debug package, whose names are the functions' own, not their clones'); and a Qt
// program with its media threads.
TEST(StackCapture, FramesAgreeWithAPeerOnRealPrograms)
{
    if (QStandardPaths::findExecutable(QStringLiteral("eu-stack")).isEmpty())
        GTEST_SKIP() << "needs eu-stack (elfutils)";
    const QString python =
        QStringLiteral("import sys, threading, time\n"
                       "stop = threading.Event()\n"
                       "for i in range(3):\n"
                       "    threading.Thread(target=stop.wait, daemon=True).start()\n"
                       "threading.Thread(target=time.sleep, args=(1000,), daemon=True).start()\n"
                       "def down(n):\n"
                       "    if n == 0:\n"
                       "        print('ready', flush=True)\n"
                       "        sys.stdin.readline()\n"
                       "        return 0\n"
                       "    return sum(map(down, [n - 1]))\n"
                       "down(150)\n");
    const struct {
        const char *what;
        QStringList command, mode;
    } targets[] = {
        {"the helper", {NORVA_STACK_HELPER}, {"owner"}},
        {"the helper's calls", {NORVA_STACK_HELPER}, {"calls"}},
        {"Python", {"/usr/bin/python3", "-c", python}, {}},
    };
    const bool gdb = !QStandardPaths::findExecutable(QStringLiteral("gdb")).isEmpty();
    const auto compare = [gdb](qint64 pid) {
        ShownStacks judged;
        int withGdb = 0;
        const StackCapture ours = CaptureStacks(static_cast<unsigned long>(pid));
        if (gdb) {
            judged = ParseFrames(GdbFrames(pid));
            const QStringList differences =
                DifferencesWithGdb(ShownOf(ours), judged, true, &withGdb);
            EXPECT_GT(withGdb, 0);
            EXPECT_TRUE(differences.isEmpty()) << differences.join('\n').toStdString();
        }
        const auto gdbSaysSo = [&judged](long long tid, uint64_t pc, const QString &name) {
            for (const ShownFrame &frame : judged.value(tid))
                if (frame.kind == QLatin1String("normal") && frame.pc == pc)
                    return Comparable(frame.function) == Comparable(name);
            return false;
        };
        QStringList differences;
        const int withPeer = CompareWithPeer(pid, &differences, gdbSaysSo);
        // Threads that eu-stack cannot follow as far as we do are gdb's to judge.
        EXPECT_TRUE(withPeer > 0 || withGdb > 0) << "no thread compared";
        EXPECT_TRUE(differences.isEmpty()) << differences.join('\n').toStdString();
        return ours;
    };
    for (const auto &target : targets) {
        SCOPED_TRACE(target.what);
        Helper helper(0, target.mode, target.command);
        const StackCapture ours = compare(helper.pid());
        if (target.mode != QStringList{"calls"})
            continue;
        // What the comparison stands on: the chain of tail calls shown, the deep stack cut.
        bool tailCall = false, cut = false;
        for (const ThreadStack &thread : ours.threads) {
            cut = cut || thread.omittedFrames > 0;
            for (const StackFrame &frame : thread.frames)
                tailCall =
                    tailCall || (frame.tailCall && frame.function.startsWith("norva_tail_middle"));
        }
        EXPECT_TRUE(tailCall && cut);
    }
#if defined(NORVA_SCENE_BOARD)
    // Its media threads decode as it plays: those that moved between the looks are passed over.
    QProcess scene;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    scene.setProcessEnvironment(env);
    scene.start(QStringLiteral(NORVA_SCENE_BOARD), QStringList());
    ASSERT_TRUE(scene.waitForStarted(5000));
    QThread::msleep(1500);
    compare(scene.processId());
    scene.kill();
    scene.waitForFinished(5000);
#endif
}

} // namespace
