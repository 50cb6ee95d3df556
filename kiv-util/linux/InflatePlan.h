#pragma once
// What inflating an ELF file's compressed sections would cost, read from what they declare
// before anything is inflated, and in-memory copies of a file with its compressed sections
// rewritten. libdw inflates every compressed DWARF section it knows when it opens a file, so a
// file is handed to it only once this plan says it fits, or as such a copy.
#include <libelf.h>

// Inflated sections one file may take. A real C library's debug information inflates to a few
// tens of MiB.
constexpr unsigned long long kFileLimit = 256ull << 20;

// Whether unwinding or naming reads a section of that name (".zdebug" and ".dwo" forms
// included); any other is left out of a copy, however large it claims to be.
bool Needed(const char *name);

struct InflatePlan {
    bool compressed = false;            // any compressed section at all
    unsigned long long neededBytes = 0; // the needed sections, once inflated
    // Every other compressed section, once inflated: libdw would inflate those of a file it
    // opens as it is.
    unsigned long long otherCompressedBytes = 0;
    // A MiniDebugInfo section (an xz-compressed ELF file holding a symbol table, which libdw
    // inflates whole): what it says it inflates to, and whether it stays within that.
    bool miniDebugInfo = false;
    unsigned long long miniDebugInfoBytes = 0;
    bool miniDebugInfoHonest = true;

    // What libdw takes opening the file as it is.
    unsigned long long OpenedBytes() const { return neededBytes + otherCompressedBytes; }
};
InflatePlan Plan(Elf *elf);

// How a copy treats compressed sections: the needed ones inflated (a debug file kept for
// later targets), left for libdw to inflate (a module file), or left out; every other one and
// a MiniDebugInfo section that is not to be kept are left out (no bytes, nothing to inflate).
enum class Rewriting { InflateNeeded, KeepNeeded, LeaveOut };
// An in-memory copy (a memfd) of the ELF file fd so rewritten; -1 when it fails.
int RewrittenCopy(int fd, Rewriting rewriting, bool keepMiniDebugInfo);
