#include "ModuleFiles.h"

#include <vector>

namespace {

// Modules larger than this are not mapped for their names and lines (DbgHelp's stay).
constexpr uint64_t kLargestFile = 1ull << 30;

} // namespace

ModuleFile::~ModuleFile()
{
    if (view_)
        UnmapViewOfFile(view_);
    if (mapping_)
        CloseHandle(mapping_);
    if (file_ != INVALID_HANDLE_VALUE)
        CloseHandle(file_);
}

std::unique_ptr<ModuleFile> ModuleFile::Open(const QString &path, HANDLE process,
                                             ImageMemory *images, uint64_t base)
{
    std::unique_ptr<ModuleFile> module(new ModuleFile);
    const std::wstring name = path.toStdWString();
    module->file_ = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER size = {};
    if (module->file_ == INVALID_HANDLE_VALUE || GetFileType(module->file_) != FILE_TYPE_DISK ||
        !GetFileSizeEx(module->file_, &size) || size.QuadPart <= 0 ||
        static_cast<uint64_t>(size.QuadPart) > kLargestFile)
        return nullptr;
    module->mapping_ = CreateFileMappingW(module->file_, nullptr, PAGE_READONLY, 0, 0, nullptr);
    module->view_ =
        module->mapping_
            ? static_cast<const uint8_t *>(MapViewOfFile(module->mapping_, FILE_MAP_READ, 0, 0, 0))
            : nullptr;
    module->size_ = static_cast<size_t>(size.QuadPart);
    if (!module->view_ || !module->pe_.Parse(module->view_, module->size_))
        return nullptr;
    // The module in memory: its headers (a page or two) say which file it was loaded from.
    std::vector<uint8_t> header(4096);
    PeImage loaded;
    if (!images->Read(process, base, header.data(), header.size()) ||
        !loaded.Parse(header.data(), header.size()))
        return nullptr;
    const PeImage &file = module->pe_;
    if (loaded.timeDateStamp() != file.timeDateStamp() ||
        loaded.sizeOfImage() != file.sizeOfImage() || loaded.checkSum() != file.checkSum() ||
        loaded.is64() != file.is64())
        return nullptr;
    return module;
}

DwarfIndex *ModuleFile::dwarf()
{
    if (!dwarfRead_) {
        dwarfRead_ = true;
        const DwarfSections s = DwarfSectionsOf(pe_);
        if (s.info.size && s.abbrev.size && s.line.size)
            dwarf_ = std::make_unique<DwarfIndex>(s);
    }
    return dwarf_.get();
}

ModuleFile *ModuleFiles::At(uint64_t base, const QString &path, HANDLE process, ImageMemory *images)
{
    auto it = files_.find(base);
    if (it == files_.end())
        it = files_.insert(base, std::shared_ptr<ModuleFile>(
                                     ModuleFile::Open(path, process, images, base).release()));
    return it->get();
}
