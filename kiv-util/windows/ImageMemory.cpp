#include "ImageMemory.h"

#include <cstring>

namespace {

constexpr uint64_t kPage = 4096;

bool ReadOnly(DWORD protect)
{
    if (protect & (PAGE_GUARD | PAGE_NOACCESS))
        return false;
    const DWORD kind = protect & 0xff;
    return kind == PAGE_READONLY || kind == PAGE_EXECUTE || kind == PAGE_EXECUTE_READ;
}

} // namespace

bool ImageMemory::Keepable(HANDLE process, uint64_t page)
{
    auto it = regions_.upper_bound(page);
    if (it != regions_.begin() && page < std::prev(it)->second.end)
        return std::prev(it)->second.kept;
    MEMORY_BASIC_INFORMATION info = {};
    if (!VirtualQueryEx(process, reinterpret_cast<LPCVOID>(page), &info, sizeof(info)))
        return false;
    const uint64_t start = reinterpret_cast<uint64_t>(info.BaseAddress);
    const bool kept = info.State == MEM_COMMIT && info.Type == MEM_IMAGE && ReadOnly(info.Protect);
    regions_[start] = {start + info.RegionSize, kept};
    return kept;
}

bool ImageMemory::Read(HANDLE process, uint64_t address, void *out, size_t size)
{
    if (size == 0 || address > UINT64_MAX - size)
        return false;
    auto *to = static_cast<uint8_t *>(out);
    for (uint64_t at = address; at < address + size;) {
        const uint64_t page = at & ~(kPage - 1);
        auto it = pages_.constFind(page);
        if (it == pages_.constEnd()) {
            if (!Keepable(process, page))
                return false;
            QByteArray bytes(static_cast<int>(kPage), Qt::Uninitialized);
            SIZE_T got = 0;
            if (!ReadProcessMemory(process, reinterpret_cast<LPCVOID>(page), bytes.data(), kPage,
                                   &got) ||
                got != kPage)
                return false;
            it = pages_.insert(page, bytes);
        }
        const uint64_t take = std::min<uint64_t>(page + kPage - at, address + size - at);
        std::memcpy(to + (at - address), it->constData() + (at - page), take);
        at += take;
    }
    return true;
}

void ImageMemory::Clear()
{
    regions_.clear();
    pages_.clear();
}
