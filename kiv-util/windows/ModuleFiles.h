#pragma once
// The files of a target's modules, as this viewer reads them beside DbgHelp: mapped once a
// session, used only when the file is the module loaded (its header's time stamp, size and
// checksum those of the module in memory). From them come the names DbgHelp does not give
// (exports, the COFF symbol table) and, where a module carries DWARF, the lines and inlined
// calls its debug information says stand at an address, checked against nothing else.
#include "DwarfLines.h"
#include "ImageMemory.h"
#include "PeImage.h"

#include <QHash>
#include <QString>
#include <memory>

#include <windows.h>

class ModuleFile {
public:
    ~ModuleFile();
    // The file at path, mapped; null when it cannot be read or is not the module loaded at base
    // in process (read through images).
    static std::unique_ptr<ModuleFile> Open(const QString &path, HANDLE process,
                                            ImageMemory *images, uint64_t base);

    const PeImage &pe() const { return pe_; }
    // The module's DWARF, read when first asked; null when it has none.
    DwarfIndex *dwarf();

private:
    ModuleFile() = default;
    HANDLE file_ = INVALID_HANDLE_VALUE, mapping_ = nullptr;
    const uint8_t *view_ = nullptr;
    size_t size_ = 0;
    PeImage pe_;
    bool dwarfRead_ = false;
    std::unique_ptr<DwarfIndex> dwarf_;
};

// The files of one session's modules, by base address.
class ModuleFiles {
public:
    // The file of the module at base (path as the system names it); null when it cannot be used.
    ModuleFile *At(uint64_t base, const QString &path, HANDLE process, ImageMemory *images);
    void Clear() { files_.clear(); }

private:
    QHash<uint64_t, std::shared_ptr<ModuleFile>> files_; // null entries: tried, not usable
};
