#include "ElfFacts.h"

#include <cstring>
#include <elfutils/libdwelf.h>
#include <gelf.h>

Elf_Scn *FindSection(Elf *elf, const char *wanted)
{
    size_t strndx = 0;
    if (!elf || elf_getshdrstrndx(elf, &strndx) != 0)
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

bool CarriesBuildId(Elf *elf, const QByteArray &buildId)
{
    const void *id = nullptr;
    const ssize_t n = elf ? dwelf_elf_gnu_build_id(elf, &id) : -1;
    return n > 0 && n == buildId.size() &&
           std::memcmp(id, buildId.constData(), static_cast<size_t>(n)) == 0;
}

bool IsElf(Elf *elf)
{
    return elf && elf_kind(elf) == ELF_K_ELF;
}
