#pragma once
// What an ELF file says of itself, read in one place: a section by name, its build-id, whether
// it is an ELF file at all.
#include <QByteArray>
#include <libelf.h>

// The first section of that name, or null.
Elf_Scn *FindSection(Elf *elf, const char *wanted);
// Whether the file carries exactly that build-id.
bool CarriesBuildId(Elf *elf, const QByteArray &buildId);
// Whether elf is an ELF file (libelf gives a handle for any file).
bool IsElf(Elf *elf);
