#include "PeImage.h"

#include <algorithm>
#include <cstring>

namespace {

template <typename T> T Get(const uint8_t *p)
{
    T value;
    std::memcpy(&value, p, sizeof(T));
    return value; // PE files are little-endian, as every machine this runs on
}

// The C string at p, within end.
std::string String(const uint8_t *p, const uint8_t *end)
{
    const uint8_t *stop =
        static_cast<const uint8_t *>(std::memchr(p, 0, static_cast<size_t>(end - p)));
    return std::string(reinterpret_cast<const char *>(p),
                       static_cast<size_t>((stop ? stop : end) - p));
}

bool ByRva(const PeImage::Symbol &a, const PeImage::Symbol &b)
{
    return a.rva < b.rva;
}

} // namespace

bool PeImage::Parse(const uint8_t *data, size_t size)
{
    *this = PeImage();
    data_ = data;
    size_ = size;
    if (size < 0x40 || data[0] != 'M' || data[1] != 'Z')
        return false;
    const uint32_t pe = Get<uint32_t>(data + 0x3c);
    if (pe > size || size - pe < 24 || std::memcmp(data + pe, "PE\0\0", 4) != 0)
        return false;
    const uint8_t *file = data + pe + 4;
    const uint16_t sectionCount = Get<uint16_t>(file + 2);
    timeDateStamp_ = Get<uint32_t>(file + 4);
    const uint32_t symbolTable = Get<uint32_t>(file + 8), symbolCount = Get<uint32_t>(file + 12);
    const uint16_t optionalSize = Get<uint16_t>(file + 16);
    const size_t optional = pe + 24;
    if (optionalSize < 96 || optional + optionalSize > size)
        return false;
    const uint8_t *opt = data + optional;
    const uint16_t magic = Get<uint16_t>(opt);
    if (magic != 0x10b && magic != 0x20b)
        return false;
    is64_ = magic == 0x20b;
    imageBase_ = is64_ ? Get<uint64_t>(opt + 24) : Get<uint32_t>(opt + 28);
    sizeOfImage_ = Get<uint32_t>(opt + 56);
    checkSum_ = Get<uint32_t>(opt + 64);
    const size_t directories = is64_ ? 112 : 96;
    const uint32_t directoryCount =
        optionalSize >= directories ? Get<uint32_t>(opt + directories - 4) : 0;
    const auto directory = [&](uint32_t i, uint32_t *rva, uint32_t *bytes) {
        *rva = *bytes = 0;
        if (i < directoryCount && directories + 8 * (i + 1) <= optionalSize) {
            *rva = Get<uint32_t>(opt + directories + 8 * i);
            *bytes = Get<uint32_t>(opt + directories + 8 * i + 4);
        }
    };

    // The string table follows the symbols: long section names and symbol names live there.
    const uint64_t strings = uint64_t(symbolTable) + uint64_t(symbolCount) * 18;
    const size_t headers = optional + optionalSize;
    if (headers + size_t(sectionCount) * 40 > size)
        return false;
    for (uint16_t i = 0; i < sectionCount; ++i) {
        const uint8_t *h = data + headers + size_t(i) * 40;
        Section section;
        section.name = String(h, h + 8);
        if (section.name.size() > 1 && section.name[0] == '/' && symbolTable != 0) {
            const uint64_t at = strings + std::strtoul(section.name.c_str() + 1, nullptr, 10);
            if (at < size)
                section.name = String(data + at, data + size);
        }
        section.virtualSize = Get<uint32_t>(h + 8);
        section.address = Get<uint32_t>(h + 12);
        section.fileSize = Get<uint32_t>(h + 16);
        section.fileOffset = Get<uint32_t>(h + 20);
        section.code = (Get<uint32_t>(h + 36) & 0x20000020u) != 0; // code, or executable
        sections_.push_back(section);
    }
    uint32_t rva = 0, bytes = 0;
    directory(0, &rva, &bytes);
    ReadExports(rva, bytes);
    directory(3, &rva, &bytes);
    if (is64_)
        ReadFunctionTable(rva, bytes);
    if (symbolTable != 0 && symbolCount != 0)
        ReadSymbols(symbolTable, symbolCount);
    if (functions_.empty())
        ReadFrameTable();
    return true;
}

const PeImage::Section *PeImage::SectionOf(uint32_t rva) const
{
    for (const Section &section : sections_) {
        const uint32_t extent = std::max(section.virtualSize, section.fileSize);
        if (rva >= section.address && rva - section.address < extent)
            return &section;
    }
    return nullptr;
}

const uint8_t *PeImage::At(uint32_t rva, uint32_t size) const
{
    const Section *section = SectionOf(rva);
    if (!section)
        return nullptr;
    const uint32_t into = rva - section->address;
    if (into > section->fileSize || size > section->fileSize - into)
        return nullptr;
    const uint64_t offset = uint64_t(section->fileOffset) + into;
    return offset + size <= size_ ? data_ + offset : nullptr;
}

ByteSpan PeImage::SectionData(const char *name) const
{
    for (const Section &section : sections_) {
        if (section.name != name)
            continue;
        const uint32_t bytes = std::min(section.fileSize, section.virtualSize ? section.virtualSize
                                                                              : section.fileSize);
        if (uint64_t(section.fileOffset) + bytes <= size_)
            return {data_ + section.fileOffset, bytes};
    }
    return {};
}

void PeImage::ReadExports(uint32_t rva, uint32_t size)
{
    const uint8_t *dir = size >= 40 ? At(rva, 40) : nullptr;
    if (!dir)
        return;
    const uint32_t functionCount = Get<uint32_t>(dir + 20), nameCount = Get<uint32_t>(dir + 24);
    const uint8_t *functions = At(Get<uint32_t>(dir + 28), functionCount * 4);
    const uint8_t *names = At(Get<uint32_t>(dir + 32), nameCount * 4);
    const uint8_t *ordinals = At(Get<uint32_t>(dir + 36), nameCount * 2);
    if (!functions || !names || !ordinals || functionCount > (1u << 20) || nameCount > (1u << 20))
        return;
    for (uint32_t i = 0; i < nameCount; ++i) {
        const uint16_t ordinal = Get<uint16_t>(ordinals + 2 * i);
        if (ordinal >= functionCount)
            continue;
        const uint32_t target = Get<uint32_t>(functions + 4 * ordinal);
        if (target >= rva && target - rva < size)
            continue; // a forwarder: a name of another module's function
        const Section *section = SectionOf(target);
        const uint8_t *name = At(Get<uint32_t>(names + 4 * i), 1);
        if (!section || !section->code || !name)
            continue;
        exports_.push_back({target, String(name, data_ + size_)});
    }
    std::stable_sort(exports_.begin(), exports_.end(), ByRva);
}

void PeImage::ReadFunctionTable(uint32_t rva, uint32_t size)
{
    const uint8_t *table = size >= 12 ? At(rva, size - size % 12) : nullptr;
    for (uint32_t at = 0; table && at + 12 <= size; at += 12) {
        const uint32_t begin = Get<uint32_t>(table + at), end = Get<uint32_t>(table + at + 4);
        if (begin < end)
            functions_.push_back({begin, end});
    }
    std::sort(functions_.begin(), functions_.end());
}

namespace {

// A pointer of the unwind table in the encoding its CIE gives (DW_EH_PE_*), as a virtual
// address; at is the field's own address, for pc-relative ones. False on what is not read here.
bool ReadEncoded(const uint8_t *&p, const uint8_t *end, uint8_t encoding, uint64_t at, bool is64,
                 uint64_t *value)
{
    if (encoding == 0xff)
        return false;
    const auto take = [&](size_t n) -> uint64_t {
        if (static_cast<size_t>(end - p) < n)
            return 0;
        uint64_t v = 0;
        for (size_t i = 0; i < n; ++i)
            v |= uint64_t(p[i]) << (8 * i);
        p += n;
        return v;
    };
    uint64_t v = 0;
    switch (encoding & 0x0f) {
    case 0x00:
        v = take(is64 ? 8 : 4);
        break;
    case 0x02:
        v = take(2);
        break;
    case 0x03:
        v = take(4);
        break;
    case 0x04:
        v = take(8);
        break;
    case 0x0a:
        v = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int16_t>(take(2))));
        break;
    case 0x0b:
        v = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(take(4))));
        break;
    case 0x0c:
        v = take(8);
        break;
    default:
        return false;
    }
    if ((encoding & 0x70) == 0x10)
        v += at;
    else if ((encoding & 0x70) != 0)
        return false;
    *value = v;
    return p <= end;
}

uint64_t Uleb(const uint8_t *&p, const uint8_t *end)
{
    uint64_t v = 0;
    for (int shift = 0; p < end; shift += 7) {
        const uint8_t byte = *p++;
        if (shift < 64)
            v |= uint64_t(byte & 0x7f) << shift;
        if (!(byte & 0x80))
            break;
    }
    return v;
}

} // namespace

void PeImage::ReadFrameTable()
{
    const Section *table = nullptr;
    for (const Section &section : sections_)
        if (section.name == ".eh_frame")
            table = &section;
    const ByteSpan span = table ? SectionData(".eh_frame") : ByteSpan();
    if (!span.data)
        return;
    const uint8_t *const begin = span.data, *const stop = span.data + span.size;
    const uint64_t base = imageBase_ + table->address; // the section's virtual address
    std::vector<std::pair<size_t, uint8_t>> encodings; // CIE offset -> FDE pointer encoding
    for (const uint8_t *p = begin; stop - p >= 8 && functions_.size() < (1u << 20);) {
        const uint32_t length = Get<uint32_t>(p);
        if (length == 0 || length == 0xffffffff || length > static_cast<size_t>(stop - p) - 4)
            break;
        const uint8_t *record = p + 4, *next = record + length;
        const uint32_t id = Get<uint32_t>(record);
        if (id == 0) { // a CIE: its augmentation says how FDE pointers are encoded
            const uint8_t *q = record + 4 + 1; // after the version
            const char *augmentation = reinterpret_cast<const char *>(q);
            const void *nul = std::memchr(q, 0, static_cast<size_t>(next - q));
            uint8_t encoding = is64_ ? 0x04 : 0x03;
            if (nul) {
                q = static_cast<const uint8_t *>(nul) + 1;
                Uleb(q, next); // code alignment
                Uleb(q, next); // data alignment (signed, skipped alike)
                Uleb(q, next); // return address register
                if (augmentation[0] == 'z') {
                    Uleb(q, next);
                    for (const char *a = augmentation + 1; *a && q < next; ++a) {
                        if (*a == 'R') {
                            encoding = *q++;
                        } else if (*a == 'L') {
                            ++q;
                        } else if (*a == 'P') {
                            const uint8_t personality = *q++;
                            uint64_t ignored = 0;
                            if (!ReadEncoded(q, next, personality & 0x7f, 0, is64_, &ignored))
                                break;
                        }
                    }
                }
            }
            encodings.push_back({static_cast<size_t>(p - begin), encoding});
        } else if (id <= static_cast<size_t>(record - begin)) {
            const size_t cie = static_cast<size_t>(record - begin) - id;
            uint8_t encoding = 0xff;
            for (auto it = encodings.rbegin(); it != encodings.rend(); ++it)
                if (it->first == cie) {
                    encoding = it->second;
                    break;
                }
            const uint8_t *q = record + 4;
            uint64_t start = 0, range = 0;
            const uint64_t at = base + static_cast<uint64_t>(q - begin);
            if (ReadEncoded(q, next, encoding, at, is64_, &start) &&
                ReadEncoded(q, next, encoding & 0x0f, 0, is64_, &range) && start > imageBase_ &&
                range > 0 && range < (1u << 30) && start - imageBase_ < UINT32_MAX - range)
                functions_.push_back({static_cast<uint32_t>(start - imageBase_),
                                      static_cast<uint32_t>(start - imageBase_ + range)});
        }
        p = next;
    }
    std::sort(functions_.begin(), functions_.end());
}

void PeImage::ReadSymbols(uint32_t offset, uint32_t count)
{
    if (offset > size_ || uint64_t(count) * 18 > size_ - offset)
        return;
    const uint8_t *table = data_ + offset;
    const uint8_t *strings = table + size_t(count) * 18;
    const uint8_t *end = data_ + size_;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t *s = table + size_t(i) * 18;
        const int16_t section = Get<int16_t>(s + 12);
        const uint16_t type = Get<uint16_t>(s + 14);
        const uint8_t storage = s[16], aux = s[17];
        i += aux;
        // Functions (type 0x20), external or static, in a section of the file.
        if (type != 0x20 || section <= 0 || size_t(section) > sections_.size() ||
            (storage != 2 && storage != 3))
            continue;
        std::string name;
        if (Get<uint32_t>(s) == 0) {
            const uint32_t at = Get<uint32_t>(s + 4);
            if (strings + at < end)
                name = String(strings + at, end);
        } else {
            name = String(s, s + 8);
        }
        // A 32-bit file's C names begin with an underscore the compiler added ("_main",
        // "__ZN3foo3barEv"), and stdcall's end in the bytes of their arguments ("_Sleep@4").
        if (!is64_ && name.size() > 1 && name[0] == '_') {
            name.erase(0, 1);
            const size_t at = name.rfind('@');
            if (at != std::string::npos && at > 0 && name.compare(0, 2, "_Z") != 0 &&
                at + 1 < name.size() &&
                name.find_first_not_of("0123456789", at + 1) == std::string::npos)
                name.erase(at);
        }
        if (!name.empty())
            symbols_.push_back(
                {sections_[size_t(section) - 1].address + Get<uint32_t>(s + 8), name});
    }
    std::stable_sort(symbols_.begin(), symbols_.end(), ByRva);
}

PeImage::NameSource PeImage::NameAt(uint32_t rva, std::string *name, uint32_t *start) const
{
    const Section *section = SectionOf(rva);
    if (!section || !section->code)
        return NameSource::None;
    // The nearest symbol at or before rva, of either kind; the exported name where both have one.
    const Symbol *best = nullptr;
    NameSource source = NameSource::None;
    for (const auto *list : {&exports_, &symbols_}) {
        auto it = std::upper_bound(list->begin(), list->end(), Symbol{rva, {}}, ByRva);
        if (it == list->begin())
            continue;
        // Of several names for one function (NtClose, ZwClose), the first in the file's order.
        auto first = std::prev(it);
        while (first != list->begin() && std::prev(first)->rva == first->rva)
            --first;
        const Symbol &found = *first;
        if (!best || found.rva > best->rva) {
            best = &found;
            source = list == &exports_ ? NameSource::Exports : NameSource::SymbolTable;
        }
    }
    if (!best || SectionOf(best->rva) != section)
        return NameSource::None;
    // Nothing known may begin between it and rva: a function of the exception table that holds
    // rva must begin where the symbol does, and none may begin in between.
    auto fn =
        std::upper_bound(functions_.begin(), functions_.end(), std::make_pair(rva, UINT32_MAX));
    if (fn != functions_.begin()) {
        const auto &holder = *std::prev(fn);
        if (rva < holder.second && holder.first != best->rva)
            return NameSource::None;
        if (rva >= holder.second && holder.first > best->rva)
            return NameSource::None;
    }
    *name = best->name;
    *start = best->rva;
    return source;
}
