#include "DebugFiles.h"

#include "DebugSearch.h"
#include "ElfFacts.h"
#include "InflatePlan.h"
#include "ProcFiles.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dwarf.h>
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

namespace {

// Inflated sections all copies together may take.
constexpr unsigned long long kCacheLimit = 512ull << 20;
// Copies kept for later targets (each holds a descriptor).
constexpr size_t kKeptFiles = 32;

thread_local DebugFileCache *t_inUse = nullptr;

// An ELF file for libdw that needs no descriptor of its own: mapped, then its file closed.
Elf *MappedElf(int fd)
{
    Elf *elf = elf_begin(fd, ELF_C_READ_MMAP, nullptr);
    if (elf && elf_cntl(elf, ELF_C_FDDONE) != 0) {
        elf_end(elf);
        elf = nullptr;
    }
    close(fd);
    return elf;
}

// The folder libdw derives from a descriptor it reads a file by (where it looks for split
// units): the descriptor's real path up to its last '/', as libdw takes it; empty when it has
// none (a memfd, a file removed since).
QByteArray LibdwFolderOf(int fd)
{
    char *real = realpath(("/proc/self/fd/" + QByteArray::number(fd)).constData(), nullptr);
    QByteArray folder(real ? real : "");
    std::free(real);
    return folder.startsWith('/') ? folder.left(folder.lastIndexOf('/') + 1) : QByteArray();
}

// A file libdw opens by itself within the bounds: a regular file (nothing there that could
// hold the open), whose every compressed section, which libdw inflates as it opens it, fits.
bool WithinBounds(const QByteArray &path)
{
    const int fd = OpenToRead(path.constData());
    if (fd < 0)
        return false;
    Elf *elf = elf_begin(fd, ELF_C_READ_MMAP, nullptr);
    const InflatePlan plan = IsElf(elf) ? Plan(elf) : InflatePlan();
    const bool fits = IsElf(elf) && plan.OpenedBytes() <= kFileLimit && plan.miniDebugInfoHonest;
    elf_end(elf);
    close(fd);
    return fits;
}

// Interrupts, while it lives, a wait of this thread in a system call: a signal every 100 ms
// whose handler does nothing and restarts nothing. libdw opens a split unit's file by itself,
// and a FIFO put there between the check and the open would hold it for ever. The handler is
// this object's: the disposition before it comes back when it goes.
class WaitBreaker {
public:
    WaitBreaker()
    {
        struct sigaction quiet = {};
        quiet.sa_handler = [](int) {};
        sigemptyset(&quiet.sa_mask); // no SA_RESTART
        installed_ = sigaction(Signal(), &quiet, &saved_) == 0;
        sigevent event = {};
        event.sigev_notify = SIGEV_THREAD_ID;
        event.sigev_signo = Signal();
        event._sigev_un._tid = gettid();
        armed_ = installed_ && timer_create(CLOCK_MONOTONIC, &event, &timer_) == 0;
        const itimerspec every = {{0, 100'000'000}, {0, 100'000'000}};
        if (armed_ && timer_settime(timer_, 0, &every, nullptr) != 0) {
            timer_delete(timer_);
            armed_ = false;
        }
    }
    ~WaitBreaker()
    {
        if (armed_)
            timer_delete(timer_);
        if (installed_) {
            // A signal of the timer's still on its way meets the handler, not the default.
            sigset_t pending;
            const timespec none = {0, 0};
            sigemptyset(&pending);
            sigaddset(&pending, Signal());
            while (sigtimedwait(&pending, nullptr, &none) > 0) {
            }
            sigaction(Signal(), &saved_, nullptr);
        }
    }
    bool armed() const { return armed_; }

private:
    static int Signal() { return SIGRTMIN + 7; }
    struct sigaction saved_ = {};
    timer_t timer_ = {};
    bool installed_ = false, armed_ = false;
};

QByteArray StringAttribute(Dwarf_Die *die, unsigned name, unsigned gnuName)
{
    Dwarf_Attribute attr;
    const char *text = dwarf_attr(die, name, &attr) || dwarf_attr(die, gnuName, &attr)
                           ? dwarf_formstring(&attr)
                           : nullptr;
    return text ? QByteArray(text) : QByteArray();
}

// Whether libdwfl asks for the alt file of fileName (a debug file whose DWARF a dwz run moved
// in part to a shared file): it names the file's .gnu_debugaltlink, with no CRC. altId: the
// build-id the link records.
bool AskedForAltFile(const char *fileName, const char *debuglink, GElf_Word crc, QByteArray *altId)
{
    if (!fileName || !debuglink || crc != 0)
        return false;
    const int fd = OpenToRead(fileName);
    Elf *elf = fd >= 0 ? elf_begin(fd, ELF_C_READ_MMAP, nullptr) : nullptr;
    Elf_Scn *scn = elf ? FindSection(elf, ".gnu_debugaltlink") : nullptr;
    Elf_Data *data = scn ? elf_getdata(scn, nullptr) : nullptr;
    bool found = false;
    if (data && data->d_buf) {
        const char *text = static_cast<const char *>(data->d_buf);
        const size_t length = strnlen(text, data->d_size);
        found = length < data->d_size && std::strcmp(text, debuglink) == 0;
        if (found)
            *altId = QByteArray(text + length + 1, static_cast<int>(data->d_size - length - 1));
    }
    elf_end(elf);
    if (fd >= 0)
        close(fd);
    return found && !altId->isEmpty();
}

// Split DWARF: the skeleton units of a file that has them address their code through a table
// of addresses of its own.
bool MayHoldSkeletons(int fd)
{
    Elf *elf = elf_begin(fd, ELF_C_READ_MMAP, nullptr);
    const bool split = elf && FindSection(elf, ".debug_addr");
    elf_end(elf);
    return split;
}

// The file belongs to the module: the same build-id, or without one the debug link's CRC.
bool Matches(Elf *elf, int fd, const QByteArray &buildId, GElf_Word crc)
{
    if (!buildId.isEmpty())
        return CarriesBuildId(elf, buildId);
    uLong sum = crc32(0, nullptr, 0);
    unsigned char buffer[65536];
    ssize_t n;
    lseek(fd, 0, SEEK_SET);
    while ((n = read(fd, buffer, sizeof(buffer))) > 0)
        sum = crc32(sum, buffer, static_cast<uInt>(n));
    return n == 0 && static_cast<GElf_Word>(sum) == crc;
}

} // namespace

// libdw's entry points: each finds the cache in use on this thread.
struct DebugFileCallbacks {
    static int FindElf(Dwfl_Module *module, void **userdata, const char *moduleName,
                       Dwarf_Addr base, char **fileName, Elf **elf)
    {
        if (!moduleName || moduleName[0] != '/' || !t_inUse || t_inUse->viewPid_ <= 0)
            return dwfl_linux_proc_find_elf(module, userdata, moduleName, base, fileName, elf);
        return t_inUse->FindElf(module, userdata, moduleName, base, fileName, elf);
    }
    static int FindDebuginfo(Dwfl_Module *module, void **, const char *moduleName, GElf_Addr,
                             const char *fileName, const char *debuglink, GElf_Word crc,
                             char **debuginfoFileName)
    {
        return t_inUse ? t_inUse->FindDebuginfo(module, moduleName, fileName, debuglink, crc,
                                                debuginfoFileName)
                       : -1;
    }
};

const Dwfl_Callbacks *DebugFileCache::Callbacks()
{
    static char *debuginfoPath = nullptr;
    static const Dwfl_Callbacks callbacks = {
        DebugFileCallbacks::FindElf, DebugFileCallbacks::FindDebuginfo, nullptr, &debuginfoPath};
    return &callbacks;
}

DebugFileCache::Use::Use(DebugFileCache *cache) : previous_(t_inUse)
{
    t_inUse = cache;
}

DebugFileCache::Use::~Use()
{
    t_inUse = previous_;
}

DebugFileCache::~DebugFileCache()
{
    for (const Kept &kept : kept_)
        close(kept.fd);
}

int DebugFileCache::FindElf(Dwfl_Module *module, void **userdata, const char *moduleName,
                            Dwarf_Addr base, char **fileName, Elf **elf)
{
    // The module by where it begins: two files mapped under one path are two modules.
    const auto it = views_.constFind(base);
    if (it == views_.constEnd() || it->entry.path != moduleName)
        return -1;
    const ModuleView &view = *it;
    const QByteArray proc = "/proc/" + QByteArray::number(viewPid_);
    // Its name in the target's view: debug links are looked for beside it.
    const QByteArray inRoot = proc + "/root" + moduleName;
    // Through map_files where the viewer may (root), else by its path in the target's root:
    // either way, whatever is there now, to be confirmed as what the snapshot saw mapped.
    int fd =
        OpenToRead(proc + "/map_files/" + QByteArray::number(qulonglong(view.entry.start), 16) +
                   '-' + QByteArray::number(qulonglong(view.entry.end), 16));
    if (fd < 0)
        fd = OpenToRead(inRoot.constData());
    if (fd >= 0 && !IsTheMappedFile(fd, view)) {
        close(fd);
        fd = -1;
    }
    if (fd < 0)
        return FromMemory(view, module, userdata, moduleName, base, fileName, elf);
    fd = WithoutBombs(fd, QString::fromUtf8(moduleName));
    if (fd >= 0 && MayHoldSkeletons(fd)) {
        // libdw looks for split units beside the file of the descriptor it reads: it keeps
        // this one.
        *elf = elf_begin(fd, ELF_C_READ_MMAP, nullptr);
        if (!*elf) {
            close(fd);
            return -1;
        }
        folders_[module].main = LibdwFolderOf(fd);
        *fileName = strdup(inRoot.constData());
        ++sessionFiles_;
        return fd;
    }
    *elf = fd >= 0 ? MappedElf(fd) : nullptr;
    if (*elf)
        *fileName = strdup(inRoot.constData());
    return -1; // no descriptor for libdw to keep: the file is mapped
}

int DebugFileCache::FromMemory(const ModuleView &view, Dwfl_Module *module, void **userdata,
                               const char *moduleName, Dwarf_Addr base, char **fileName, Elf **elf)
{
    CaptureNote note;
    note.kind = NoteKind::ModuleNotTheMappedFile;
    note.path = QString::fromUtf8(moduleName);
    // The process's own copy of the module (the parts its mappings hold: enough to unwind
    // through it by its unwind tables, and its dynamic symbols), as libdwfl reads the vDSO;
    // used only while it is still the copy the snapshot saw: the file the snapshot saw mapped
    // there before and after the read (its build-id alone was read while the target ran, and
    // a library that comes and goes at one address can have lent it another's), and the
    // build-id that says which copy.
    const auto stillMapped = [&view, this] {
        for (const MapEntry &entry : MapsSnapshot::Read(viewPid_).entries)
            if (entry.start == view.entry.start)
                return entry.inode == view.entry.inode && entry.dev == view.entry.dev &&
                       entry.path == view.entry.path;
        return false;
    };
    if (view.bytes <= kFileLimit && !view.buildId.isEmpty() && stillMapped()) {
        const QByteArray name = "[vdso: " + QByteArray::number(viewPid_) + ']';
        dwfl_linux_proc_find_elf(module, userdata, name.constData(), base, fileName, elf);
        if (*elf && (!CarriesBuildId(*elf, view.buildId) || !stillMapped())) {
            elf_end(*elf);
            *elf = nullptr;
        }
    }
    note.count = *elf ? 1 : 0;
    notes_ << note;
    return -1;
}

int DebugFileCache::WithoutBombs(int fd, const QString &path)
{
    Elf *elf = elf_begin(fd, ELF_C_READ_MMAP, nullptr);
    const InflatePlan plan = elf ? Plan(elf) : InflatePlan();
    elf_end(elf);
    if (plan.neededBytes <= kFileLimit && plan.miniDebugInfoHonest &&
        plan.otherCompressedBytes == 0)
        return fd;
    // libdw inflates every compressed section it knows of a file it opens: the unneeded ones are
    // left out of a copy; the needed ones too where they would inflate past the bound, as is a
    // MiniDebugInfo section that would or that says less than it holds (its symbols and unwind
    // tables still serve).
    if (plan.neededBytes > kFileLimit)
        Note(NoteKind::ModuleSectionsTooLarge, path, plan.neededBytes, kFileLimit);
    if (!plan.miniDebugInfoHonest)
        Note(NoteKind::MiniDebugInfoLeftOut, path, plan.miniDebugInfoBytes, kFileLimit);
    const int copy = RewrittenCopy(
        fd, plan.neededBytes > kFileLimit ? Rewriting::LeaveOut : Rewriting::KeepNeeded,
        plan.miniDebugInfoHonest);
    close(fd);
    return copy;
}

bool DebugFileCache::MakeRoom(unsigned long long bytes)
{
    // Copies the live session uses stay: libdw holds them, so their memory would not go.
    while (keptBytes_ + bytes > kCacheLimit || kept_.size() >= kKeptFiles) {
        auto oldest = kept_.end();
        for (auto it = kept_.begin(); it != kept_.end(); ++it)
            if (it->session != session_ && (oldest == kept_.end() || it->lastUse < oldest->lastUse))
                oldest = it;
        if (oldest == kept_.end())
            return keptBytes_ + bytes <= kCacheLimit;
        keptBytes_ -= oldest->bytes;
        close(oldest->fd);
        kept_.erase(oldest);
    }
    return true;
}

void DebugFileCache::SessionEnded()
{
    folders_.clear();
    used_.clear();
    ++session_;
    sessionFiles_ = 0;
    notes_.clear();
}

void DebugFileCache::Note(NoteKind kind, const QString &path, unsigned long long bytes,
                          unsigned long long limit)
{
    CaptureNote note;
    note.kind = kind;
    note.path = path;
    note.bytes = bytes;
    note.limit = limit;
    notes_ << note;
}

// The debug file found, for libdw: the file itself, or an inflated copy (kept for later
// targets) when it has compressed sections; -1 when it is skipped.
int DebugFileCache::Keep(int fd, const struct stat &st, const QByteArray &buildId,
                         unsigned long long neededBytes, bool compressed, const QString &path)
{
    if (neededBytes > kFileLimit) {
        Note(NoteKind::DebugFileTooLarge, path, neededBytes, kFileLimit);
        close(fd);
        return -1;
    }
    if (!compressed)
        return fd; // nothing to save by keeping it
    if (!MakeRoom(static_cast<unsigned long long>(st.st_size) + neededBytes)) {
        Note(NoteKind::DebugMemoryFull, path, 0, kCacheLimit);
        close(fd);
        return -1;
    }
    const int inflated = RewrittenCopy(fd, Rewriting::InflateNeeded, true);
    close(fd);
    struct stat copy;
    if (inflated < 0 || fstat(inflated, &copy) != 0) {
        Note(NoteKind::DebugFileNotInflated, path, 0, 0);
        if (inflated >= 0)
            close(inflated);
        return -1;
    }
    Kept kept = {buildId,
                 st.st_dev,
                 st.st_ino,
                 st.st_size,
                 st.st_mtim.tv_sec,
                 -1,
                 static_cast<unsigned long long>(copy.st_size),
                 ++uses_,
                 session_};
    kept.fd = fcntl(inflated, F_DUPFD_CLOEXEC, 0);
    if (kept.fd >= 0) {
        keptBytes_ += kept.bytes;
        kept_.push_back(kept);
    }
    return inflated;
}

// Our own search rather than libdwfl's: that one opens what it finds with libdw, which
// inflates every compressed debug section there before anyone could look at their sizes. The
// same call asks for a debug file's alt file, which is never the module's own debug file.
int DebugFileCache::FindDebuginfo(Dwfl_Module *module, const char *moduleName, const char *fileName,
                                  const char *debuglinkFile, GElf_Word debuglinkCrc,
                                  char **debuginfoFileName)
{
    QByteArray altId;
    int fd = -1;
    if (AskedForAltFile(fileName, debuglinkFile, debuglinkCrc, &altId)) {
        const QByteArrayList candidates = AltFileCandidates(altId, fileName, debuglinkFile);
        used_[module] += candidates;
        fd = FindFile(candidates, altId, 0, debuginfoFileName);
    } else {
        const unsigned char *id = nullptr;
        GElf_Addr idAddress = 0;
        const int idLength = dwfl_module_build_id(module, &id, &idAddress);
        const QByteArray buildId =
            idLength > 0 ? QByteArray(reinterpret_cast<const char *>(id), idLength) : QByteArray();
        fd = FindFile(DebugFileCandidates(buildId, moduleName, fileName, debuglinkFile), buildId,
                      debuglinkCrc, debuginfoFileName);
        if (fd >= 0)
            folders_[module].debug = LibdwFolderOf(fd);
    }
    return fd;
}

// The first of candidates that is the file wanted (build-id, or without one the CRC).
int DebugFileCache::FindFile(const QByteArrayList &candidates, const QByteArray &buildId,
                             GElf_Word debuglinkCrc, char **debuginfoFileName)
{
    for (const QByteArray &path : candidates) {
        int fd = OpenToRead(path.constData());
        struct stat st;
        if (fd < 0)
            continue;
        if (fstat(fd, &st) != 0) {
            close(fd);
            continue;
        }
        for (Kept &kept : kept_) {
            if (kept.buildId == buildId && kept.dev == st.st_dev && kept.inode == st.st_ino &&
                kept.size == st.st_size && kept.mtime == st.st_mtim.tv_sec) {
                kept.lastUse = ++uses_;
                kept.session = session_;
                close(fd);
                std::free(*debuginfoFileName);
                *debuginfoFileName = strdup(path.constData());
                lseek(kept.fd, 0, SEEK_SET);
                ++sessionFiles_;
                return fcntl(kept.fd, F_DUPFD_CLOEXEC, 0); // libdw still checks the build-id
            }
        }
        // Not an ELF file, or larger than a debug file may be: passed over before its CRC,
        // which reads it whole.
        Elf *elf = elf_begin(fd, ELF_C_READ_MMAP, nullptr);
        const bool matches = IsElf(elf) &&
                             static_cast<unsigned long long>(st.st_size) <= kFileLimit &&
                             Matches(elf, fd, buildId, debuglinkCrc);
        const InflatePlan plan = matches ? Plan(elf) : InflatePlan();
        elf_end(elf);
        if (!matches) {
            close(fd);
            continue;
        }
        lseek(fd, 0, SEEK_SET);
        fd = Keep(fd, st, buildId, plan.neededBytes, plan.compressed, QString::fromUtf8(path));
        sessionFiles_ += fd >= 0;
        if (fd >= 0) {
            // A name given back with no file makes libdwfl open that file itself.
            std::free(*debuginfoFileName);
            *debuginfoFileName = strdup(path.constData());
        }
        return fd;
    }
    return -1;
}

void DebugFileCache::SetModuleView(long long pid, const MapsSnapshot &maps)
{
    viewPid_ = pid;
    views_ = ModuleViews(pid, maps);
}

QVector<CaptureNote> DebugFileCache::Notes() const
{
    // libdwfl asks once for lines and once for symbols: the same note twice.
    QVector<CaptureNote> unique;
    for (const CaptureNote &note : notes_)
        if (!unique.contains(note))
            unique.push_back(note);
    return unique;
}

bool DebugFileCache::SplitUnit(Dwfl_Module *module, Dwarf_Die *skeleton, Dwarf_Die *split)
{
    const QByteArray dwo = StringAttribute(skeleton, DW_AT_dwo_name, DW_AT_GNU_dwo_name);
    const QByteArray compDir = StringAttribute(skeleton, DW_AT_comp_dir, DW_AT_comp_dir);
    // The folder of the file libdw read the skeleton from: the debug file's where it has one.
    const char *debugFile = nullptr;
    dwfl_module_info(module, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &debugFile);
    const Folders folders = folders_.value(module);
    const QByteArray folder = debugFile ? folders.debug : folders.main;
    const QByteArrayList candidates = SplitUnitCandidates(dwo, compDir, folder);
    used_[module] += candidates;
    for (const QByteArray &path : candidates) {
        struct stat st;
        if (stat(path.constData(), &st) != 0)
            continue; // nothing there: libdw finds nothing either
        if (!WithinBounds(path)) {
            Note(NoteKind::SplitUnitLeftOut, QString::fromUtf8(path), 0, kFileLimit);
            return false;
        }
    }
    WaitBreaker breaker;
    return breaker.armed() &&
           dwarf_cu_info(skeleton->cu, nullptr, nullptr, nullptr, split, nullptr, nullptr,
                         nullptr) == 0 &&
           dwarf_tag(split) == DW_TAG_compile_unit;
}

bool FindSplitUnit(Dwfl_Module *module, Dwarf_Die *skeleton, Dwarf_Die *split)
{
    return t_inUse && t_inUse->SplitUnit(module, skeleton, split);
}
