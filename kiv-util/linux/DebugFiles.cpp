#include "DebugFiles.h"

#include "ProcFiles.h"

#include <QSet>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <elfutils/libdwelf.h>
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <lzma.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <zlib.h>

namespace {

// Inflated sections one debug file may take, and all copies together. A real C library's
// debug information inflates to a few tens of MiB.
constexpr unsigned long long kFileLimit = 256ull << 20;
constexpr unsigned long long kCacheLimit = 512ull << 20;
// Copies kept for later targets (each holds a descriptor).
constexpr size_t kKeptFiles = 32;

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
    // A MiniDebugInfo section (an xz-compressed ELF file holding a symbol table, which libdw
    // inflates whole): what it says it inflates to, and whether it stays within that.
    bool miniDebugInfo = false;
    unsigned long long miniDebugInfoBytes = 0;
    bool miniDebugInfoHonest = true;
};

// What an xz stream says its content takes (from its index, at the end): 0 when it cannot be
// read as one stream.
unsigned long long DeclaredXzSize(const uint8_t *data, size_t size)
{
    lzma_stream_flags footer;
    if (size < 2 * LZMA_STREAM_HEADER_SIZE ||
        lzma_stream_footer_decode(&footer, data + size - LZMA_STREAM_HEADER_SIZE) != LZMA_OK ||
        footer.backward_size > size - 2 * LZMA_STREAM_HEADER_SIZE)
        return 0;
    const uint8_t *index = data + size - LZMA_STREAM_HEADER_SIZE - footer.backward_size;
    lzma_index *decoded = nullptr;
    uint64_t memoryLimit = 16 << 20;
    size_t at = 0;
    if (lzma_index_buffer_decode(&decoded, &memoryLimit, nullptr, index, &at,
                                 footer.backward_size) != LZMA_OK)
        return 0;
    const unsigned long long bytes = lzma_index_uncompressed_size(decoded);
    lzma_index_end(decoded, nullptr);
    return bytes;
}

// Whether an xz stream inflates to exactly the size it declares: inflated into a small buffer
// and thrown away, given up as soon as it says more than that. A stream that lies about its
// size would make libdw inflate without end.
bool InflatesAsDeclared(const uint8_t *data, size_t size, unsigned long long declared)
{
    lzma_stream stream = LZMA_STREAM_INIT;
    if (lzma_stream_decoder(&stream, 256 << 20, 0) != LZMA_OK)
        return false;
    uint8_t out[65536];
    stream.next_in = data;
    stream.avail_in = size;
    unsigned long long total = 0;
    lzma_ret ret = LZMA_OK;
    while (ret == LZMA_OK && total <= declared) {
        stream.next_out = out;
        stream.avail_out = sizeof(out);
        ret = lzma_code(&stream, LZMA_FINISH);
        total += sizeof(out) - stream.avail_out;
    }
    lzma_end(&stream);
    return ret == LZMA_STREAM_END && total == declared;
}

void PlanMiniDebugInfo(Elf_Scn *scn, InflatePlan *plan)
{
    Elf_Data *raw = elf_rawdata(scn, nullptr);
    if (!raw || !raw->d_buf)
        return;
    const auto *data = static_cast<const uint8_t *>(raw->d_buf);
    plan->miniDebugInfo = true;
    plan->miniDebugInfoBytes = DeclaredXzSize(data, raw->d_size);
    plan->miniDebugInfoHonest = plan->miniDebugInfoBytes > 0 &&
                                plan->miniDebugInfoBytes <= kFileLimit &&
                                InflatesAsDeclared(data, raw->d_size, plan->miniDebugInfoBytes);
}

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
        if (name && std::strcmp(name, ".gnu_debugdata") == 0) {
            PlanMiniDebugInfo(scn, &plan);
            continue;
        }
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

// Inflates a compressed section that inflate names, and empties any other compressed one (no
// bytes in the copy, nothing for libdw to inflate), MiniDebugInfo included.
bool Rewrite(Elf_Scn *scn, const char *name, bool inflate)
{
    GElf_Shdr shdr;
    if (!gelf_getshdr(scn, &shdr))
        return true;
    const bool gnu = name && std::strncmp(name, ".zdebug", 7) == 0;
    const bool xz = name && std::strcmp(name, ".gnu_debugdata") == 0;
    if (!(shdr.sh_flags & SHF_COMPRESSED) && !gnu && !xz)
        return true;
    if (xz && inflate)
        return true; // libdw inflates it; only a module file's copy leaves it out
    if (inflate && Needed(name))
        return (gnu ? elf_compress_gnu(scn, 0, 0) : elf_compress(scn, 0, 0)) >= 0;
    shdr.sh_type = SHT_NOBITS;
    shdr.sh_flags &= ~static_cast<GElf_Xword>(SHF_COMPRESSED);
    return gelf_update_shdr(scn, &shdr) != 0;
}

// An in-memory copy (a memfd) of an ELF file with its compressed sections rewritten: the
// needed ones inflated when inflate is set, every other one left out; -1 when it fails.
int RewrittenCopy(int fd, bool inflate)
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
            ok = !gelf_getshdr(scn, &shdr) ||
                 Rewrite(scn, elf_strptr(elf, strndx, shdr.sh_name), inflate);
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

// The first section of that name, or null.
Elf_Scn *FindSection(Elf *elf, const char *wanted)
{
    size_t strndx = 0;
    if (elf_getshdrstrndx(elf, &strndx) != 0)
        return nullptr;
    for (Elf_Scn *scn = elf_nextscn(elf, nullptr); scn; scn = elf_nextscn(elf, scn)) {
        GElf_Shdr shdr;
        const char *name =
            gelf_getshdr(scn, &shdr) ? elf_strptr(elf, strndx, shdr.sh_name) : nullptr;
        if (name && std::strcmp(name, wanted) == 0)
            return scn;
    }
    return nullptr;
}

// Whether the file carries exactly that build-id.
bool CarriesBuildId(Elf *elf, const QByteArray &buildId)
{
    const void *id = nullptr;
    const ssize_t n = elf ? dwelf_elf_gnu_build_id(elf, &id) : -1;
    return n > 0 && n == buildId.size() &&
           std::memcmp(id, buildId.constData(), static_cast<size_t>(n)) == 0;
}

// Where the shared file of a dwz'd debug file (its alt file) may be: by its build-id under the
// system's debug folder, then where its link says, absolute or relative to the debug file.
QByteArrayList AltCandidates(const QByteArray &altId, const char *fileName, const char *altLink)
{
    QByteArrayList paths;
    if (altId.size() > 1)
        paths << "/usr/lib/debug/.build-id/" + altId.left(1).toHex() + '/' + altId.mid(1).toHex() +
                     ".debug";
    const QByteArray link(altLink);
    const QByteArray file(fileName ? fileName : "");
    if (link.startsWith('/'))
        paths << link;
    else if (!link.isEmpty() && file.contains('/'))
        paths << file.left(file.lastIndexOf('/') + 1) + link;
    return paths;
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

bool ReadMemory(long long pid, uint64_t address, void *out, size_t size)
{
    iovec local = {out, size};
    iovec remote = {reinterpret_cast<void *>(address), size};
    return process_vm_readv(static_cast<pid_t>(pid), &local, 1, &remote, 1, 0) ==
           static_cast<ssize_t>(size);
}

// The build-id of the ELF file whose start is mapped at base in the process, from the notes
// of its own copy; empty when it has none there.
QByteArray BuildIdInMemory(long long pid, uint64_t base)
{
    Elf64_Ehdr header;
    Elf64_Phdr segments[64];
    if (!ReadMemory(pid, base, &header, sizeof(header)) ||
        std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_phentsize != sizeof(Elf64_Phdr) ||
        header.e_phnum == 0 || header.e_phnum > 64 ||
        !ReadMemory(pid, base + header.e_phoff, segments, header.e_phnum * sizeof(Elf64_Phdr)))
        return {};
    uint64_t bias = 0;
    bool loaded = false;
    for (int i = 0; i < header.e_phnum && !loaded; ++i)
        if (segments[i].p_type == PT_LOAD && segments[i].p_offset == 0) {
            bias = base - segments[i].p_vaddr;
            loaded = true;
        }
    for (int i = 0; i < header.e_phnum && loaded; ++i) {
        const Elf64_Phdr &note = segments[i];
        alignas(4) char notes[4096];
        if (note.p_type != PT_NOTE || note.p_filesz > sizeof(notes) ||
            !ReadMemory(pid, bias + note.p_vaddr, notes, note.p_filesz))
            continue;
        for (size_t at = 0; at + sizeof(Elf64_Nhdr) <= note.p_filesz;) {
            Elf64_Nhdr head;
            std::memcpy(&head, notes + at, sizeof(head));
            const size_t name = at + sizeof(head);
            const size_t desc = name + ((head.n_namesz + 3) & ~3u);
            const size_t next = desc + ((head.n_descsz + 3) & ~3u);
            if (next > note.p_filesz)
                break;
            if (head.n_type == NT_GNU_BUILD_ID && head.n_namesz == 4 &&
                std::memcmp(notes + name, "GNU", 4) == 0)
                return QByteArray(notes + desc, static_cast<int>(head.n_descsz));
            at = next;
        }
    }
    return {};
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
    const auto it = viewFiles_.constFind(QByteArray(moduleName));
    if (it == viewFiles_.constEnd())
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
        return FromMemory(module, userdata, moduleName, base, fileName, elf);
    fd = WithoutBombs(fd, QString::fromUtf8(moduleName));
    if (fd >= 0 && MayHoldSkeletons(fd)) {
        // libdw looks for split units beside the file of the descriptor it reads: it keeps
        // this one.
        *elf = elf_begin(fd, ELF_C_READ_MMAP, nullptr);
        if (!*elf) {
            close(fd);
            return -1;
        }
        *fileName = strdup(inRoot.constData());
        ++sessionFiles_;
        return fd;
    }
    *elf = fd >= 0 ? MappedElf(fd) : nullptr;
    if (*elf)
        *fileName = strdup(inRoot.constData());
    return -1; // no descriptor for libdw to keep: the file is mapped
}

bool DebugFileCache::IsTheMappedFile(int fd, const ModuleView &view) const
{
    // The inode the map names, and the device too, unless the build-id the process's own copy
    // carries vouches for the file: btrfs gives stat another device than the map.
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_ino != view.entry.inode)
        return false;
    if (view.buildId.isEmpty())
        return st.st_dev == view.entry.dev;
    Elf *elf = elf_begin(fd, ELF_C_READ_MMAP, nullptr);
    const bool same = CarriesBuildId(elf, view.buildId);
    elf_end(elf);
    return same;
}

int DebugFileCache::FromMemory(Dwfl_Module *module, void **userdata, const char *moduleName,
                               Dwarf_Addr base, char **fileName, Elf **elf)
{
    const ModuleView &view = viewFiles_[QByteArray(moduleName)];
    CaptureNote note;
    note.kind = NoteKind::ModuleNotTheMappedFile;
    note.path = QString::fromUtf8(moduleName);
    // The process's own copy of the module (the parts its mappings hold: enough to unwind
    // through it by its unwind tables, and its dynamic symbols), as libdwfl reads the vDSO;
    // used only while it is still the copy the snapshot saw.
    if (view.bytes <= kFileLimit && !view.buildId.isEmpty()) {
        const QByteArray name = "[vdso: " + QByteArray::number(viewPid_) + ']';
        dwfl_linux_proc_find_elf(module, userdata, name.constData(), base, fileName, elf);
        if (*elf && !CarriesBuildId(*elf, view.buildId)) {
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
    if (plan.neededBytes <= kFileLimit && plan.miniDebugInfoHonest)
        return fd;
    // A module's own compressed debug sections that would inflate past the bound are left out,
    // as is a MiniDebugInfo section that would or that says less than it holds: its symbols and
    // unwind tables still serve.
    if (plan.neededBytes > kFileLimit)
        Note(NoteKind::ModuleSectionsTooLarge, path, plan.neededBytes, kFileLimit);
    if (!plan.miniDebugInfoHonest)
        Note(NoteKind::MiniDebugInfoLeftOut, path, plan.miniDebugInfoBytes, kFileLimit);
    const int copy = RewrittenCopy(fd, false);
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
    const int inflated = RewrittenCopy(fd, true);
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
    if (AskedForAltFile(fileName, debuglinkFile, debuglinkCrc, &altId))
        return FindFile(AltCandidates(altId, fileName, debuglinkFile), altId, 0, debuginfoFileName);
    const unsigned char *id = nullptr;
    GElf_Addr idAddress = 0;
    const int idLength = dwfl_module_build_id(module, &id, &idAddress);
    const QByteArray buildId =
        idLength > 0 ? QByteArray(reinterpret_cast<const char *>(id), idLength) : QByteArray();
    return FindFile(Candidates(buildId, moduleName, fileName, debuglinkFile), buildId, debuglinkCrc,
                    debuginfoFileName);
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

bool DebugFileWithinBounds(const QByteArray &path)
{
    const int fd = OpenToRead(path.constData());
    if (fd < 0)
        return false;
    Elf *elf = elf_begin(fd, ELF_C_READ_MMAP, nullptr);
    const InflatePlan plan = elf ? Plan(elf) : InflatePlan();
    elf_end(elf);
    close(fd);
    return elf && plan.neededBytes <= kFileLimit && plan.miniDebugInfoHonest;
}

void DebugFileCache::SetModuleView(long long pid, const MapsSnapshot &maps)
{
    viewPid_ = pid;
    viewFiles_.clear();
    for (const MapEntry &entry : maps.entries) {
        if (!entry.fileBacked())
            continue;
        ModuleView &view = viewFiles_[entry.path];
        if (view.bytes == 0)
            view.entry = entry;
        view.bytes += entry.end - entry.start;
        view.code = view.code || entry.exec;
    }
    // What code the modules are, read from the process's own copies now, before the hold
    // (whose check of the map afterwards vouches that they stayed).
    for (ModuleView &view : viewFiles_)
        if (view.code && view.entry.offset == 0)
            view.buildId = BuildIdInMemory(pid, view.entry.start);
    // Good only if the map did not change while they were read.
    if (MapsSnapshot::Read(pid).CodeSignature() != maps.CodeSignature())
        for (ModuleView &view : viewFiles_)
            view.buildId.clear();
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
