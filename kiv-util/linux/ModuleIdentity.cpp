#include "ModuleIdentity.h"

#include "ElfFacts.h"

#include <cstring>
#include <elf.h>
#include <libelf.h>
#include <sys/stat.h>
#include <sys/uio.h>

namespace {

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

} // namespace

QHash<uint64_t, ModuleView> ModuleViews(long long pid, const MapsSnapshot &maps)
{
    QHash<uint64_t, ModuleView> views;
    ModuleView *last = nullptr;
    for (const MapEntry &entry : maps.entries) {
        if (!entry.fileBacked())
            continue; // libdwfl's grouping goes on past anonymous mappings (a module's .bss)
        // libdwfl's grouping: the same file (path and inode) mapped on.
        if (!last || last->entry.path != entry.path || last->entry.inode != entry.inode ||
            last->entry.dev != entry.dev) {
            last = &views[entry.start];
            last->entry = entry;
        }
        last->bytes += entry.end - entry.start;
        last->code = last->code || entry.exec;
    }
    // What code the modules are, read from the process's own copies now, before the hold
    // (whose check of the map afterwards vouches that they stayed).
    for (ModuleView &view : views)
        if (view.code && view.entry.offset == 0)
            view.buildId = BuildIdInMemory(pid, view.entry.start);
    // Good only if the map did not change while they were read.
    if (MapsSnapshot::Read(pid).CodeSignature() != maps.CodeSignature())
        for (ModuleView &view : views)
            view.buildId.clear();
    return views;
}

bool IsTheMappedFile(int fd, const ModuleView &view)
{
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
