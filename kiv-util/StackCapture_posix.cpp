// Linux back end: ptrace stops every thread of the target together, elfutils libdw walks the
// stopped threads, every thread is let go, and only then are addresses turned into names.
#include "StackCapture.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QSet>
#include <QStandardPaths>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <elfutils/libdwfl.h>
#include <gelf.h>
#include <libelf.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <memory>
#include <sys/ptrace.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kFrameLimit = 256;

QByteArray ReadProcFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return QByteArray();
    return file.readAll();
}

struct ProcStatus {
    bool exists = false;
    QString name;
    char state = 0;
    long long tgid = 0;
    long long tracer = 0;
    long long uid = -1;
    int threads = 0;
    bool kernelThread = false;
};

QByteArray StatusField(const QByteArray &status, const char *key)
{
    for (const QByteArray &line : status.split('\n')) {
        if (line.startsWith(key))
            return line.mid(static_cast<int>(std::strlen(key))).trimmed();
    }
    return QByteArray();
}

ProcStatus ReadStatus(long long pid)
{
    ProcStatus info;
    const QByteArray status = ReadProcFile(QStringLiteral("/proc/%1/status").arg(pid));
    if (status.isEmpty())
        return info;
    info.exists = true;
    info.name = QString::fromUtf8(StatusField(status, "Name:"));
    info.state = StatusField(status, "State:").left(1).at(0);
    info.threads = StatusField(status, "Threads:").toInt();
    info.tgid = StatusField(status, "Tgid:").toLongLong();
    info.tracer = StatusField(status, "TracerPid:").toLongLong();
    info.uid = StatusField(status, "Uid:").split('\t').value(0).toLongLong();
    // Field 9 of stat holds the task flags; PF_KTHREAD marks kernel threads.
    const QByteArray stat = ReadProcFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const QList<QByteArray> rest = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    info.kernelThread = (rest.value(6).toULongLong() & 0x00200000u) != 0;
    return info;
}

QString ThreadName(long long pid, long long tid)
{
    return QString::fromUtf8(
        ReadProcFile(QStringLiteral("/proc/%1/task/%2/comm").arg(pid).arg(tid)).trimmed());
}

char TaskState(long long pid, long long tid)
{
    const QByteArray stat = ReadProcFile(QStringLiteral("/proc/%1/task/%2/stat").arg(pid).arg(tid));
    const int close = stat.lastIndexOf(')');
    return close > 0 && close + 2 < stat.size() ? stat.at(close + 2) : 0;
}

QVector<long long> ListThreads(long long pid)
{
    QVector<long long> tids;
    const QStringList entries =
        QDir(QStringLiteral("/proc/%1/task").arg(pid)).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries)
        tids << entry.toLongLong();
    return tids;
}

QString PermissionReason(long long pid, const ProcStatus &info)
{
    if (geteuid() != 0 && info.uid >= 0 && info.uid != static_cast<long long>(geteuid()))
        return QStringLiteral("Permission denied: process %1 belongs to another user (uid %2); "
                              "only that user or root may look at it.")
            .arg(pid)
            .arg(info.uid);
    const QByteArray scope =
        ReadProcFile(QStringLiteral("/proc/sys/kernel/yama/ptrace_scope")).trimmed();
    if (scope == "1")
        return QStringLiteral("Permission denied by ptrace restrictions: kernel.yama.ptrace_scope "
                              "is 1, so only a parent may trace its children. Run as root, or set "
                              "it to 0.");
    if (scope == "2")
        return QStringLiteral("Permission denied by ptrace restrictions: kernel.yama.ptrace_scope "
                              "is 2, so only root may trace processes.");
    if (scope == "3")
        return QStringLiteral("Permission denied by ptrace restrictions: kernel.yama.ptrace_scope "
                              "is 3, so no process may be traced.");
    return QStringLiteral("Permission denied: tracing process %1 is not allowed here (it may be "
                          "privileged, or this program lacks CAP_SYS_PTRACE).")
        .arg(pid);
}

// Holds the target's threads stopped; lets every one of them go when it is destroyed, on every
// path out of the capture.
class ThreadStopper {
public:
    ~ThreadStopper() { ReleaseAll(); }

    // Seizes and interrupts every thread, re-reading the thread list until no new one appears.
    // False (with errno of the first failure) only when not a single thread could be stopped.
    bool StopAll(long long pid, int *firstError)
    {
        timer_.start();
        QSet<long long> tried;
        *firstError = 0;
        for (int round = 0; round < 1000; ++round) {
            bool added = false;
            for (long long tid : ListThreads(pid)) {
                if (tried.contains(tid))
                    continue;
                tried.insert(tid);
                added = true;
                // A leader that has exited while its other threads live on can never stop, and
                // waiting for it would wait for the whole process to end. (Other threads that
                // exit report their exit to the wait below.)
                if (tid == pid) {
                    const char state = TaskState(pid, tid);
                    if (state == 'Z' || state == 'X' || state == 0)
                        continue;
                }
                if (ptrace(PTRACE_SEIZE, static_cast<pid_t>(tid), nullptr, nullptr) != 0) {
                    if (!*firstError && errno != ESRCH)
                        *firstError = errno;
                    continue;
                }
                seized_.push_back({tid, 0, false});
                ptrace(PTRACE_INTERRUPT, static_cast<pid_t>(tid), nullptr, nullptr);
            }
            // Wait for the stops before looking again: a running thread may still start others.
            for (Seized &thread : seized_) {
                if (!thread.stopped)
                    WaitForStop(&thread);
            }
            if (!added)
                break;
        }
        return !stopped().isEmpty();
    }

    QVector<long long> stopped() const
    {
        QVector<long long> tids;
        for (const Seized &thread : seized_) {
            if (thread.stopped)
                tids << thread.tid;
        }
        return tids;
    }

    void ReleaseAll()
    {
        for (const Seized &thread : seized_) {
            // A signal that arrived while we held the thread is handed back on detach.
            ptrace(PTRACE_DETACH, static_cast<pid_t>(thread.tid), nullptr,
                   reinterpret_cast<void *>(static_cast<intptr_t>(thread.pendingSignal)));
        }
        if (!seized_.isEmpty())
            stoppedMs_ = timer_.nsecsElapsed() / 1e6;
        seized_.clear();
    }

    double stoppedMs() const { return stoppedMs_; }

private:
    struct Seized {
        long long tid;
        int pendingSignal;
        bool stopped;
    };

    void WaitForStop(Seized *thread)
    {
        for (;;) {
            int status = 0;
            const pid_t rc = waitpid(static_cast<pid_t>(thread->tid), &status, __WALL);
            if (rc < 0) {
                if (errno == EINTR)
                    continue;
                return; // gone
            }
            if (!WIFSTOPPED(status))
                return; // exited or was killed meanwhile
            const int event = status >> 16;
            const int sig = WSTOPSIG(status);
            if (event == 0 && sig != SIGTRAP && sig != SIGSTOP)
                thread->pendingSignal = sig; // a signal-delivery stop: keep the signal for later
            thread->stopped = true;
            return;
        }
    }

    QElapsedTimer timer_;
    QVector<Seized> seized_;
    double stoppedMs_ = 0;
};

// Separate debug files usually come with their DWARF sections zlib-compressed, and libdw inflates
// all of them on first use: for the C library that is most of a first capture. An uncompressed
// copy per build-id in the user's cache makes every later viewer start fast.
QString DebugCacheDir()
{
    QString base = qEnvironmentVariable("XDG_CACHE_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.cache");
    const QString dir = base + QStringLiteral("/norva-debuginfo");
    const QByteArray local = QFile::encodeName(dir);
    if (mkdir(local.constData(), 0700) != 0 && errno != EEXIST)
        return QString();
    struct stat st;
    // Only a private folder of our own: nobody else may plant debug files for us to read.
    if (lstat(local.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
        (st.st_mode & 077) != 0)
        return QString();
    return dir;
}

bool HasCompressedSections(int fd)
{
    Elf *elf = elf_begin(fd, ELF_C_READ_MMAP, nullptr);
    if (!elf)
        return false;
    size_t strndx = 0;
    bool compressed = false;
    if (elf_getshdrstrndx(elf, &strndx) == 0) {
        for (Elf_Scn *scn = elf_nextscn(elf, nullptr); scn && !compressed;
             scn = elf_nextscn(elf, scn)) {
            GElf_Shdr shdr;
            if (!gelf_getshdr(scn, &shdr))
                continue;
            const char *name = elf_strptr(elf, strndx, shdr.sh_name);
            compressed = (shdr.sh_flags & SHF_COMPRESSED) != 0 ||
                         (name && std::strncmp(name, ".zdebug", 7) == 0);
        }
    }
    elf_end(elf);
    return compressed;
}

int FindDebuginfo(Dwfl_Module *module, void **userdata, const char *moduleName, GElf_Addr base,
                  const char *fileName, const char *debuglinkFile, GElf_Word debuglinkCrc,
                  char **debuginfoFileName)
{
    QString cached;
    const unsigned char *id = nullptr;
    GElf_Addr idAddress = 0;
    const int idLength = dwfl_module_build_id(module, &id, &idAddress);
    const QString dir = idLength > 0 ? DebugCacheDir() : QString();
    if (!dir.isEmpty()) {
        cached = dir + QLatin1Char('/') +
                 QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(id), idLength).toHex()) +
                 QStringLiteral(".debug");
        const int fd = open(QFile::encodeName(cached).constData(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            std::free(*debuginfoFileName);
            *debuginfoFileName = strdup(QFile::encodeName(cached).constData());
            return fd; // libdw still checks that its build-id matches
        }
    }
    const int fd = dwfl_standard_find_debuginfo(module, userdata, moduleName, base, fileName,
                                                debuglinkFile, debuglinkCrc, debuginfoFileName);
    if (fd < 0 || cached.isEmpty() || !*debuginfoFileName || !HasCompressedSections(fd))
        return fd;

    const QString elfcompress = QStandardPaths::findExecutable(QStringLiteral("eu-elfcompress"));
    if (elfcompress.isEmpty())
        return fd;
    const QString temporary = cached + QStringLiteral(".%1.tmp").arg(getpid());
    const int rc = QProcess::execute(elfcompress, {QStringLiteral("-q"), QStringLiteral("-t"),
                                                   QStringLiteral("none"), QStringLiteral("-o"),
                                                   temporary, QFile::decodeName(*debuginfoFileName)});
    const QByteArray from = QFile::encodeName(temporary), to = QFile::encodeName(cached);
    if (rc != 0 || rename(from.constData(), to.constData()) != 0) {
        unlink(from.constData());
        return fd;
    }
    const int cachedFd = open(to.constData(), O_RDONLY | O_CLOEXEC);
    if (cachedFd < 0)
        return fd;
    close(fd);
    std::free(*debuginfoFileName);
    *debuginfoFileName = strdup(to.constData());
    return cachedFd;
}

struct WalkContext {
    ThreadStack *thread;
    QVector<uint64_t> lookup; // address to resolve for each frame
    QString error;
};

int OnFrame(Dwfl_Frame *state, void *arg)
{
    auto *ctx = static_cast<WalkContext *>(arg);
    Dwarf_Addr pc = 0;
    bool activation = false;
    if (!dwfl_frame_pc(state, &pc, &activation)) {
        ctx->error = QString::fromUtf8(dwfl_errmsg(-1));
        return DWARF_CB_ABORT;
    }
    if (ctx->thread->frames.size() >= kFrameLimit) {
        ctx->error = QStringLiteral("more than %1 frames").arg(kFrameLimit);
        return DWARF_CB_ABORT;
    }
    StackFrame frame;
    frame.pc = pc;
    ctx->thread->frames.push_back(frame);
    // A return address points past the call: look up the call itself.
    ctx->lookup.push_back(activation || pc == 0 ? pc : pc - 1);
    return DWARF_CB_OK;
}

QString CleanName(const char *raw)
{
    QByteArray name(raw);
    const int at = name.indexOf('@'); // versioned symbols: memcpy@@GLIBC_2.14
    if (at > 0)
        name.truncate(at);
    int status = -1;
    char *demangled = abi::__cxa_demangle(name.constData(), nullptr, nullptr, &status);
    QString result = QString::fromUtf8(status == 0 && demangled ? demangled : name.constData());
    std::free(demangled);
    return result;
}

CodeSymbol Resolve(Dwfl *dwfl, uint64_t address)
{
    CodeSymbol symbol;
    Dwfl_Module *module = dwfl_addrmodule(dwfl, address);
    if (!module)
        return symbol;
    const char *moduleName =
        dwfl_module_info(module, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (moduleName)
        symbol.module = QFileInfo(QString::fromUtf8(moduleName)).fileName();
    GElf_Off offset = 0;
    GElf_Sym elfSymbol;
    const char *name =
        dwfl_module_addrinfo(module, address, &offset, &elfSymbol, nullptr, nullptr, nullptr);
    if (name) {
        symbol.function = CleanName(name);
        symbol.start = address - offset;
    }
    if (Dwfl_Line *line = dwfl_module_getsrc(module, address)) {
        int lineNo = 0;
        const char *file = dwfl_lineinfo(line, nullptr, &lineNo, nullptr, nullptr, nullptr);
        if (file) {
            symbol.file = QString::fromUtf8(file);
            symbol.line = lineNo;
        }
    }
    return symbol;
}

bool IsOutermost(const QString &function)
{
    static const QSet<QString> kEntries = {
        QStringLiteral("_start"),
        QStringLiteral("__libc_start_main"),
        QStringLiteral("__libc_start_call_main"),
        QStringLiteral("clone"),
        QStringLiteral("clone3"),
        QStringLiteral("__clone"),
        QStringLiteral("__clone3"),
        QStringLiteral("start_thread"),
    };
    return kEntries.contains(function);
}

unsigned long long StartTime(long long pid)
{
    const QByteArray stat = ReadProcFile(QStringLiteral("/proc/%1/stat").arg(pid));
    return stat.mid(stat.lastIndexOf(')') + 2).split(' ').value(19).toULongLong();
}

// The file-backed executable mappings: when they change, cached names may be wrong.
QByteArray CodeMappings(long long pid)
{
    QByteArray code;
    for (const QByteArray &line :
         ReadProcFile(QStringLiteral("/proc/%1/maps").arg(pid)).split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() >= 6 && fields.at(1).contains('x'))
            code += line + '\n';
    }
    return code;
}

// What one target keeps between captures: its modules with their loaded debug information,
// and the names already looked up. Loading debug information is the dearest part of a
// capture, so a second look at the same process costs a fraction of the first.
struct TargetSession {
    long long pid = 0;
    unsigned long long startTime = 0;
    QByteArray mappings;
    Dwfl *dwfl = nullptr;
    QHash<uint64_t, CodeSymbol> symbols;

    ~TargetSession() { Reset(); }
    void Reset()
    {
        if (dwfl)
            dwfl_end(dwfl);
        dwfl = nullptr;
        symbols.clear();
        mappings.clear();
        pid = 0;
        startTime = 0;
    }
};

TargetSession &Session()
{
    static TargetSession session;
    return session;
}

} // namespace

StackCapture CaptureStacks(unsigned long requested)
{
    StackCapture capture;
    capture.pid = static_cast<long long>(requested);
    const long long self = getpid();

    ProcStatus info = ReadStatus(capture.pid);
    if (requested == 0 || !info.exists) {
        capture.error = QStringLiteral("There is no process with id %1.").arg(capture.pid);
        return capture;
    }
    if (info.tgid > 0 && info.tgid != capture.pid) {
        // A thread id: capture the process it belongs to.
        capture.pid = info.tgid;
        info = ReadStatus(capture.pid);
    }
    capture.processName = info.name;
    if (capture.pid == self) {
        capture.error = QStringLiteral("Process %1 is this viewer itself; a process cannot stop "
                                       "its own threads to look at them.")
                            .arg(capture.pid);
        return capture;
    }
    if (info.kernelThread) {
        // One-pass arg: a name may itself hold "%1".
        capture.error = QStringLiteral("Process %1 (%2) is a kernel thread: it has no user-space "
                                       "stack to show.")
                            .arg(QString::number(capture.pid), info.name);
        return capture;
    }
    // A zombie leader may still have live threads: only a process with none is a zombie.
    if ((info.state == 'Z' || info.state == 'X') && info.threads <= 1) {
        capture.error = QStringLiteral("Process %1 (%2) is a zombie: it has exited and waits for "
                                       "its parent to collect it, so it has no stacks left.")
                            .arg(QString::number(capture.pid), info.name);
        return capture;
    }
    if (info.tracer != 0) {
        const ProcStatus tracer = ReadStatus(info.tracer);
        capture.error =
            QStringLiteral("Process %1 (%2) is already being traced by process %3%4; "
                           "a process can have only one tracer at a time.")
                .arg(QString::number(capture.pid), info.name, QString::number(info.tracer),
                     tracer.exists ? QStringLiteral(" (") + tracer.name + QLatin1Char(')')
                                   : QString());
        return capture;
    }

    // When the leader has exited its memory map is gone; any live thread shows the process's.
    long long memoryPid = capture.pid;
    if (info.state == 'Z' || info.state == 'X') {
        for (long long tid : ListThreads(capture.pid)) {
            const char state = TaskState(capture.pid, tid);
            if (state != 'Z' && state != 'X' && state != 0) {
                memoryPid = tid;
                break;
            }
        }
    }

    // Debug information comes from this machine only, never from the network.
    unsetenv("DEBUGINFOD_URLS");
    static char *debuginfoPath = nullptr;
    static const Dwfl_Callbacks callbacks = {dwfl_linux_proc_find_elf, FindDebuginfo, nullptr,
                                             &debuginfoPath};
    TargetSession &session = Session();
    const unsigned long long startTime = StartTime(capture.pid);
    if (session.pid != capture.pid || session.startTime != startTime)
        session.Reset();
    if (!session.dwfl) {
        session.dwfl = dwfl_begin(&callbacks);
        session.pid = capture.pid;
        session.startTime = startTime;
    }
    if (!session.dwfl) {
        capture.error = QStringLiteral("The stack walker could not start: %1")
                            .arg(QString::fromUtf8(dwfl_errmsg(-1)));
        session.Reset();
        return capture;
    }
    Dwfl *dwfl = session.dwfl;
    // Modules are reported afresh each time; those that stayed keep what they loaded.
    const QByteArray mappings = CodeMappings(memoryPid);
    if (mappings != session.mappings) {
        session.symbols.clear();
        session.mappings = mappings;
    }
    dwfl_report_begin(dwfl);
    const int reported = dwfl_linux_proc_report(dwfl, static_cast<pid_t>(memoryPid));
    dwfl_report_end(dwfl, nullptr, nullptr);
    if (reported != 0) {
        capture.error = reported == EACCES || reported == EPERM
                            ? PermissionReason(capture.pid, info)
                            : QStringLiteral("The memory map of process %1 cannot be read: %2")
                                  .arg(capture.pid)
                                  .arg(QString::fromLocal8Bit(std::strerror(reported)));
        session.Reset();
        return capture;
    }

    QVector<QVector<uint64_t>> lookups;
    {
        ThreadStopper stopper;
        int error = 0;
        if (!stopper.StopAll(capture.pid, &error)) {
            if (error == EPERM || error == EACCES) {
                const ProcStatus now = ReadStatus(capture.pid);
                capture.error = now.tracer != 0
                                    ? QStringLiteral("Process %1 is already being traced by "
                                                     "process %2.")
                                          .arg(capture.pid)
                                          .arg(now.tracer)
                                    : PermissionReason(capture.pid, info);
            } else {
                capture.error = QStringLiteral("Process %1 ended before its threads could be "
                                               "stopped.")
                                    .arg(capture.pid);
            }
            return capture;
        }

        const QVector<long long> tids = stopper.stopped();
        if (dwfl_pid(dwfl) <= 0 &&
            dwfl_linux_proc_attach(dwfl, static_cast<pid_t>(memoryPid), true) != 0) {
            stopper.ReleaseAll();
            session.Reset();
            capture.error = QStringLiteral("The stack walker could not attach to process %1: %2")
                                .arg(capture.pid)
                                .arg(QString::fromUtf8(dwfl_errmsg(-1)));
            return capture;
        }
        for (long long tid : tids) {
            ThreadStack thread;
            thread.tid = tid;
            thread.name = ThreadName(capture.pid, tid);
            WalkContext ctx{&thread, {}, {}};
            // libdw must only see threads whose registers can be read: a thread killed while
            // stopped would otherwise reach its abort path.
            user_regs_struct regs;
            if (ptrace(PTRACE_GETREGS, static_cast<pid_t>(tid), nullptr, &regs) != 0)
                continue; // the thread has gone
            const int rc = dwfl_getthread_frames(dwfl, static_cast<pid_t>(tid), OnFrame, &ctx);
            if (rc != 0 && ctx.error.isEmpty())
                ctx.error = QString::fromUtf8(dwfl_errmsg(-1));
            thread.truncated = ctx.error;
            capture.threads.push_back(thread);
            lookups.push_back(ctx.lookup);
        }
        stopper.ReleaseAll();
        capture.stoppedMs = stopper.stoppedMs();
    }

    // The target runs again; names are looked up at leisure, each address once.
    ResolveFrames(&capture, lookups, &session.symbols,
                  [dwfl](uint64_t address) { return Resolve(dwfl, address); });
    for (ThreadStack &thread : capture.threads) {
        // Running off the outermost frame is how every walk ends, not a truncation.
        if (!thread.truncated.isEmpty() && !thread.frames.isEmpty() &&
            IsOutermost(thread.frames.last().function) &&
            !thread.truncated.startsWith(QStringLiteral("more than")))
            thread.truncated.clear();
    }
    capture.ok = true;
    return capture;
}
