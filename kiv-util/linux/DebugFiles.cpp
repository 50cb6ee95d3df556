#include "DebugFiles.h"

#include <QSet>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <elfutils/libdwelf.h>
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace {

// Inflated sections one debug file may take, and all kept copies together. A real C library's
// debug information inflates to a few tens of MiB.
constexpr unsigned long long kFileLimit = 256ull << 20;
constexpr unsigned long long kCacheLimit = 512ull << 20;

thread_local DebugFileCache *t_inUse = nullptr;

// Sections that unwinding and naming read; any others are left out of the copy, however
// large they claim to be.
bool Needed(const char *name)
{
    static const QSet<QByteArray> kNeeded = {
        ".debug_info",  ".debug_abbrev",  ".debug_line",   ".debug_line_str", ".debug_str",
        ".debug_addr",  ".debug_aranges", ".debug_ranges", ".debug_rnglists", ".debug_str_offsets",
        ".debug_frame", ".eh_frame",      ".symtab",       ".strtab"};
    if (!name)
        return false;
    if (std::strncmp(name, ".zdebug", 7) == 0)
        return kNeeded.contains(QByteArray(".debug") + (name + 7));
    return kNeeded.contains(QByteArray(name));
}

// How a debug file's compressed sections would be inflated.
struct InflatePlan {
    bool compressed = false;            // any compressed section at all
    unsigned long long neededBytes = 0; // the needed ones, once inflated
};

InflatePlan Plan(Elf *elf)
{
    InflatePlan plan;
    size_t strndx = 0;
    if (elf_getshdrstrndx(elf, &strndx) != 0)
        return plan;
    for (Elf_Scn *scn = elf_nextscn(elf, nullptr); scn; scn = elf_nextscn(elf, scn)) {
        GElf_Shdr shdr;
        if (!gelf_getshdr(scn, &shdr) || shdr.sh_type == SHT_NOBITS)
            continue;
        const char *name = elf_strptr(elf, strndx, shdr.sh_name);
        unsigned long long size = shdr.sh_size;
        if (shdr.sh_flags & SHF_COMPRESSED) {
            plan.compressed = true;
            GElf_Chdr chdr;
            if (gelf_getchdr(scn, &chdr))
                size = chdr.ch_size;
        } else if (name && std::strncmp(name, ".zdebug", 7) == 0) {
            plan.compressed = true;
            // "ZLIB", then the inflated size as 8 bytes, most significant first.
            Elf_Data *raw = elf_rawdata(scn, nullptr);
            if (raw && raw->d_size >= 12 && std::memcmp(raw->d_buf, "ZLIB", 4) == 0) {
                size = 0;
                for (int i = 4; i < 12; ++i)
                    size = (size << 8) | static_cast<const unsigned char *>(raw->d_buf)[i];
            }
        }
        if (Needed(name))
            plan.neededBytes += size;
    }
    return plan;
}

// An in-memory copy (a memfd) of a debug file with its needed sections inflated and the other
// compressed ones left out, or -1. libdw would otherwise inflate the same sections again for
// every process the viewer looks at.
int InflatedCopy(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return -1;
    const int copy = memfd_create("norva-debuginfo", MFD_CLOEXEC);
    if (copy < 0)
        return -1;
    off_t offset = 0;
    while (offset < st.st_size) {
        const ssize_t n = sendfile(copy, fd, &offset, static_cast<size_t>(st.st_size - offset));
        if (n <= 0) {
            close(copy);
            return -1;
        }
    }
    bool ok = false;
    if (Elf *elf = elf_begin(copy, ELF_C_RDWR, nullptr)) {
        size_t strndx = 0;
        ok = elf_getshdrstrndx(elf, &strndx) == 0;
        for (Elf_Scn *scn = elf_nextscn(elf, nullptr); ok && scn; scn = elf_nextscn(elf, scn)) {
            GElf_Shdr shdr;
            if (!gelf_getshdr(scn, &shdr))
                continue;
            const char *name = elf_strptr(elf, strndx, shdr.sh_name);
            const bool gnu = name && std::strncmp(name, ".zdebug", 7) == 0;
            if (!(shdr.sh_flags & SHF_COMPRESSED) && !gnu)
                continue;
            if (Needed(name)) {
                ok = (gnu ? elf_compress_gnu(scn, 0, 0) : elf_compress(scn, 0, 0)) >= 0;
            } else {
                // Left out: no bytes in the copy, nothing for libdw to inflate.
                shdr.sh_type = SHT_NOBITS;
                shdr.sh_flags &= ~static_cast<GElf_Xword>(SHF_COMPRESSED);
                ok = gelf_update_shdr(scn, &shdr) != 0;
            }
        }
        ok = ok && elf_update(elf, ELF_C_WRITE) >= 0;
        elf_end(elf);
    }
    if (!ok) {
        close(copy);
        return -1;
    }
    lseek(copy, 0, SEEK_SET);
    return copy;
}

// Where a debug file for a module may be, in the usual order: by build-id under the system's
// debug folder, then by its debug link beside the module (as the target sees it), in .debug
// there, and under the system's debug folder.
QByteArrayList Candidates(const QByteArray &buildId, const char *moduleName, const char *fileName,
                          const char *debuglink)
{
    static const QByteArray kDebugRoot = "/usr/lib/debug";
    QByteArrayList paths;
    if (buildId.size() > 1)
        paths << kDebugRoot + "/.build-id/" + buildId.left(1).toHex() + '/' +
                     buildId.mid(1).toHex() + ".debug";
    if (debuglink && debuglink[0] && !std::strchr(debuglink, '/')) {
        const QByteArray file(fileName ? fileName : moduleName ? moduleName : "");
        const QByteArray module(moduleName ? moduleName : "");
        const QByteArray dir = file.left(file.lastIndexOf('/') + 1);
        paths << dir + debuglink << dir + ".debug/" + debuglink;
        if (module.startsWith('/'))
            paths << kDebugRoot + module.left(module.lastIndexOf('/') + 1) + debuglink;
    }
    return paths;
}

// The file belongs to the module: the same build-id, or without one the debug link's CRC.
bool Matches(Elf *elf, int fd, const QByteArray &buildId, GElf_Word crc)
{
    if (!buildId.isEmpty()) {
        const void *id = nullptr;
        const ssize_t n = dwelf_elf_gnu_build_id(elf, &id);
        return n == buildId.size() && std::memcmp(id, buildId.constData(), buildId.size()) == 0;
    }
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
        return t_inUse->FindElf(moduleName, fileName);
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

int DebugFileCache::FindElf(const char *moduleName, char **fileName)
{
    const auto it = viewFiles_.constFind(QByteArray(moduleName));
    if (it == viewFiles_.constEnd())
        return -1;
    const QByteArray proc = "/proc/" + QByteArray::number(viewPid_);
    // Its name in the target's view: debug links are looked for beside it.
    const QByteArray inRoot = proc + "/root" + moduleName;
    int fd = open((proc + "/map_files/" + QByteArray::number(qulonglong(it->start), 16) + '-' +
                   QByteArray::number(qulonglong(it->end), 16))
                      .constData(),
                  O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        // Only privileged viewers may open map_files; by path, it must be the mapped file.
        fd = open(inRoot.constData(), O_RDONLY | O_CLOEXEC);
        struct stat st;
        if (fd >= 0 && (fstat(fd, &st) != 0 || st.st_dev != it->dev || st.st_ino != it->inode)) {
            close(fd);
            fd = -1; // something else lies at that path now: no names rather than wrong ones
        }
    }
    if (fd >= 0)
        *fileName = strdup(inRoot.constData());
    return fd;
}

void DebugFileCache::MakeRoom(unsigned long long bytes)
{
    while (!kept_.empty() && keptBytes_ + bytes > kCacheLimit) {
        auto oldest = kept_.begin();
        for (auto it = kept_.begin(); it != kept_.end(); ++it)
            if (it->lastUse < oldest->lastUse)
                oldest = it;
        keptBytes_ -= oldest->bytes;
        close(oldest->fd); // its memory goes once libdw lets go of it too
        kept_.erase(oldest);
    }
}

// Keeps the debug file found (an inflated copy when it has compressed sections) and returns
// the descriptor for libdw, or -1 when it is skipped.
int DebugFileCache::Keep(int fd, const struct stat &st, const QByteArray &buildId,
                         unsigned long long neededBytes, bool compressed, const QString &path)
{
    if (neededBytes > kFileLimit) {
        CaptureNote note;
        note.kind = NoteKind::DebugFileTooLarge;
        note.path = path;
        note.bytes = neededBytes;
        note.limit = kFileLimit;
        notes_ << note;
        close(fd);
        return -1;
    }
    Kept kept;
    kept.buildId = buildId;
    kept.dev = st.st_dev;
    kept.inode = st.st_ino;
    kept.size = st.st_size;
    kept.mtime = st.st_mtim.tv_sec;
    if (compressed) {
        const int inflated = InflatedCopy(fd);
        close(fd);
        if (inflated < 0) {
            CaptureNote note;
            note.kind = NoteKind::DebugFileNotInflated;
            note.path = path;
            notes_ << note;
            return -1;
        }
        fd = inflated;
        struct stat copy;
        kept.bytes = fstat(fd, &copy) == 0 ? static_cast<unsigned long long>(copy.st_size) : 0;
    }
    MakeRoom(kept.bytes);
    kept.fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (kept.fd >= 0) {
        kept.lastUse = ++uses_;
        keptBytes_ += kept.bytes;
        kept_.push_back(kept);
    }
    return fd;
}

// Our own search rather than libdwfl's: that one opens what it finds with libdw, which
// inflates every compressed debug section there before anyone could look at their sizes.
int DebugFileCache::FindDebuginfo(Dwfl_Module *module, const char *moduleName, const char *fileName,
                                  const char *debuglinkFile, GElf_Word debuglinkCrc,
                                  char **debuginfoFileName)
{
    const unsigned char *id = nullptr;
    GElf_Addr idAddress = 0;
    const int idLength = dwfl_module_build_id(module, &id, &idAddress);
    const QByteArray buildId =
        idLength > 0 ? QByteArray(reinterpret_cast<const char *>(id), idLength) : QByteArray();
    for (const QByteArray &path : Candidates(buildId, moduleName, fileName, debuglinkFile)) {
        int fd = open(path.constData(), O_RDONLY | O_CLOEXEC);
        struct stat st;
        if (fd < 0)
            continue;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            close(fd);
            continue;
        }
        for (Kept &kept : kept_) {
            if (kept.buildId == buildId && kept.dev == st.st_dev && kept.inode == st.st_ino &&
                kept.size == st.st_size && kept.mtime == st.st_mtim.tv_sec) {
                kept.lastUse = ++uses_;
                close(fd);
                std::free(*debuginfoFileName);
                *debuginfoFileName = strdup(path.constData());
                lseek(kept.fd, 0, SEEK_SET);
                return fcntl(kept.fd, F_DUPFD_CLOEXEC, 0); // libdw still checks the build-id
            }
        }
        Elf *elf = elf_begin(fd, ELF_C_READ_MMAP, nullptr);
        const bool matches = elf && Matches(elf, fd, buildId, debuglinkCrc);
        const InflatePlan plan = matches ? Plan(elf) : InflatePlan();
        elf_end(elf);
        if (!matches) {
            close(fd);
            continue;
        }
        lseek(fd, 0, SEEK_SET);
        fd = Keep(fd, st, buildId, plan.neededBytes, plan.compressed, QString::fromUtf8(path));
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
    viewFiles_.clear();
    for (const MapEntry &entry : maps.entries)
        if (entry.fileBacked() && !viewFiles_.contains(entry.path))
            viewFiles_.insert(entry.path, entry);
}

QVector<CaptureNote> DebugFileCache::TakeNotes()
{
    QVector<CaptureNote> notes;
    notes.swap(notes_);
    // libdwfl asks once for lines and once for symbols: the same note twice.
    QVector<CaptureNote> unique;
    for (const CaptureNote &note : notes)
        if (!unique.contains(note))
            unique.push_back(note);
    return unique;
}
