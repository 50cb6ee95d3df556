#include "DwarfLines.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#if __has_include(<cxxabi.h>)
#include <cxxabi.h>
#define NORVA_HAVE_CXXABI 1
#endif
#include <unordered_map>

namespace {

// DWARF's numbers that this reader uses.
enum : uint16_t {
    kTagInlined = 0x1d,
    kTagSubprogram = 0x2e,
    kTagLexicalBlock = 0x0b,
    kTagEntryPoint = 0x03,
    kTagNamespace = 0x39,
    kTagClass = 0x02,
    kTagStruct = 0x13,
    kTagUnion = 0x17,
    kTagModule = 0x1e,
    kTagCallSite = 0x48,
    kTagGnuCallSite = 0x4109,
};
enum : uint16_t {
    kAtName = 0x03,
    kAtLanguage = 0x13,
    kAtDeclaration = 0x3c,
    kAtCallReturnPc = 0x7d,
    kAtCallOrigin = 0x7f,
    kAtCallTailCall = 0x82,
    kAtGnuTailCall = 0x2115,
    kAtStmtList = 0x10,
    kAtLowPc = 0x11,
    kAtHighPc = 0x12,
    kAtCompDir = 0x1b,
    kAtAbstractOrigin = 0x31,
    kAtDefinitionOf = 0x47, // the declaration an entry defines
    kAtRanges = 0x55,
    kAtCallFile = 0x58,
    kAtCallLine = 0x59,
    kAtLinkageName = 0x6e,
    kAtMipsLinkageName = 0x2007,
    kAtStrOffsetsBase = 0x72,
    kAtAddrBase = 0x73,
    kAtRnglistsBase = 0x74,
};
enum : uint16_t {
    kFormAddr = 0x01,
    kFormBlock2 = 0x03,
    kFormBlock4 = 0x04,
    kFormData2 = 0x05,
    kFormData4 = 0x06,
    kFormData8 = 0x07,
    kFormString = 0x08,
    kFormBlock = 0x09,
    kFormBlock1 = 0x0a,
    kFormData1 = 0x0b,
    kFormFlag = 0x0c,
    kFormSdata = 0x0d,
    kFormStrp = 0x0e,
    kFormUdata = 0x0f,
    kFormRefAddr = 0x10,
    kFormRef1 = 0x11,
    kFormRef2 = 0x12,
    kFormRef4 = 0x13,
    kFormRef8 = 0x14,
    kFormRefUdata = 0x15,
    kFormIndirect = 0x16,
    kFormSecOffset = 0x17,
    kFormExprloc = 0x18,
    kFormFlagPresent = 0x19,
    kFormStrx = 0x1a,
    kFormRefSup4 = 0x1c,
    kFormStrpSup = 0x1d,
    kFormData16 = 0x1e,
    kFormLineStrp = 0x1f,
    kFormRefSig8 = 0x20,
    kFormImplicitConst = 0x21,
    kFormLoclistx = 0x22,
    kFormRnglistx = 0x23,
    kFormRefSup8 = 0x24,
    kFormStrx1 = 0x25,
    kFormStrx2 = 0x26,
    kFormStrx3 = 0x27,
    kFormStrx4 = 0x28,
    kFormAddrx = 0x1b,
    kFormAddrx1 = 0x29,
    kFormAddrx2 = 0x2a,
    kFormAddrx3 = 0x2b,
    kFormAddrx4 = 0x2c,
    kFormGnuAddrIndex = 0x1f01,
    kFormGnuStrIndex = 0x1f02,
    kFormGnuRefAlt = 0x1f20,
    kFormGnuStrpAlt = 0x1f21,
};

// Reads little-endian values within [p, end); any read past end marks it failed and gives 0.
struct Reader {
    const uint8_t *p = nullptr, *end = nullptr;
    bool ok = true;

    Reader() = default;
    Reader(ByteSpan span, uint64_t offset = 0)
    {
        if (span.data && offset <= span.size) {
            p = span.data + offset;
            end = span.data + span.size;
        } else {
            ok = false;
        }
    }
    size_t left() const { return ok ? static_cast<size_t>(end - p) : 0; }
    bool Take(size_t n)
    {
        if (!ok || left() < n) {
            ok = false;
            return false;
        }
        return true;
    }
    uint64_t Fixed(size_t n)
    {
        if (!Take(n))
            return 0;
        uint64_t value = 0;
        for (size_t i = 0; i < n; ++i)
            value |= uint64_t(p[i]) << (8 * i);
        p += n;
        return value;
    }
    void Skip(uint64_t n)
    {
        if (n > left())
            ok = false;
        else
            p += n;
    }
    uint64_t Uleb()
    {
        uint64_t value = 0;
        for (int shift = 0;; shift += 7) {
            if (!Take(1))
                return 0;
            const uint8_t byte = *p++;
            if (shift < 64)
                value |= uint64_t(byte & 0x7f) << shift;
            if (!(byte & 0x80))
                return value;
        }
    }
    int64_t Sleb()
    {
        int64_t value = 0;
        int shift = 0;
        uint8_t byte = 0;
        do {
            if (!Take(1))
                return 0;
            byte = *p++;
            if (shift < 64)
                value |= int64_t(byte & 0x7f) << shift;
            shift += 7;
        } while (byte & 0x80);
        if (shift < 64 && (byte & 0x40))
            value |= -(int64_t(1) << shift);
        return value;
    }
    const char *String()
    {
        if (!ok)
            return nullptr;
        const void *nul = std::memchr(p, 0, left());
        if (!nul) {
            ok = false;
            return nullptr;
        }
        const char *s = reinterpret_cast<const char *>(p);
        p = static_cast<const uint8_t *>(nul) + 1;
        return s;
    }
    // A unit's length; *dwarf64 says whether its offsets take 8 bytes.
    uint64_t Length(bool *dwarf64)
    {
        uint64_t length = Fixed(4);
        *dwarf64 = length == 0xffffffff;
        if (*dwarf64)
            length = Fixed(8);
        return length;
    }
};

const char *StringAt(ByteSpan section, uint64_t offset)
{
    Reader r(section, offset);
    return r.String();
}

std::string Demangled(const char *name)
{
    if (!name)
        return {};
#if defined(NORVA_HAVE_CXXABI)
    int status = -1;
    char *out = name[0] == '_' && name[1] == 'Z'
                    ? abi::__cxa_demangle(name, nullptr, nullptr, &status)
                    : nullptr;
    std::string result = status == 0 && out ? out : name;
    std::free(out);
    return result;
#else
    return name;
#endif
}

std::string Join(const std::string &folder, const std::string &name)
{
    if (name.empty() || name[0] == '/' || name[0] == '\\' || (name.size() > 1 && name[1] == ':') ||
        folder.empty())
        return name;
    const char last = folder.back();
    return folder + (last == '/' || last == '\\' ? "" : "/") + name;
}

struct Abbrev {
    uint16_t tag = 0;
    bool children = false;
    struct Spec {
        uint16_t name, form;
        int64_t implicitConst;
    };
    std::vector<Spec> specs;
};
using AbbrevTable = std::unordered_map<uint64_t, Abbrev>;

// One attribute's value as read: a number (constants, offsets, references made absolute,
// indexes), or a string.
struct Value {
    uint16_t form = 0;
    uint64_t number = 0;
    const char *string = nullptr;
};

struct Range {
    uint64_t begin, end;
};

} // namespace

DwarfSections DwarfSectionsOf(const PeImage &pe)
{
    DwarfSections s;
    s.info = pe.SectionData(".debug_info");
    s.abbrev = pe.SectionData(".debug_abbrev");
    s.line = pe.SectionData(".debug_line");
    s.str = pe.SectionData(".debug_str");
    s.lineStr = pe.SectionData(".debug_line_str");
    s.ranges = pe.SectionData(".debug_ranges");
    s.rngLists = pe.SectionData(".debug_rnglists");
    s.addr = pe.SectionData(".debug_addr");
    s.strOffsets = pe.SectionData(".debug_str_offsets");
    return s;
}

struct DwarfIndex::Unit {
    uint64_t offset = 0, end = 0, dieStart = 0;
    int version = 0, addressSize = 8;
    bool dwarf64 = false;
    const AbbrevTable *abbrevs = nullptr;
    uint64_t base = 0, strOffsetsBase = 0, addrBase = 0, rnglistsBase = 0;
    uint64_t stmtList = 0;
    bool hasLines = false;
    bool cxx = false; // its language is C++, whose names gdb makes with parameter lists
    std::string compDir;
    std::vector<Range> ranges;

    struct Die {
        uint64_t offset = 0;
        uint16_t tag = 0;
        size_t next = 0; // index after its subtree
        std::vector<Range> ranges;
        const char *name = nullptr, *linkage = nullptr;
        uint64_t origin = 0; // the DIE it is an instance or definition of (abstract origin, the
                             // declaration it defines, a call site's function), an offset in
                             // .debug_info; 0 when none
        bool definesDeclaration = false; // origin is the declaration this entry defines
        bool declaration = false;
        size_t parent = SIZE_MAX; // the index of the DIE whose child it is
        uint64_t callFile = 0, callLine = 0;
        uint64_t callReturn = 0; // a call site's return address
        bool tailCall = false;
    };
    bool diesRead = false;
    std::vector<Die> dies;

    struct Row {
        uint64_t address;
        uint32_t file, line;
        bool end;
    };
    bool linesRead = false;
    std::vector<Row> rows;
    std::vector<std::pair<uint64_t, size_t>> sequences; // start address, first row
    std::vector<std::string> files;                     // by the table's own index
};

namespace {

using Unit = DwarfIndex::Unit;

// Reads a value of form at r for unit u; false when the form is not known (the unit cannot be
// read further).
bool ReadValue(Reader &r, uint16_t form, int64_t implicitConst, const Unit &u,
               const DwarfSections &s, Value *v)
{
    v->form = form;
    v->string = nullptr;
    v->number = 0;
    const size_t offsetSize = u.dwarf64 ? 8 : 4;
    switch (form) {
    case kFormAddr:
        v->number = r.Fixed(static_cast<size_t>(u.addressSize));
        break;
    case kFormData1:
    case kFormRef1:
    case kFormFlag:
    case kFormStrx1:
    case kFormAddrx1:
        v->number = r.Fixed(1);
        break;
    case kFormData2:
    case kFormRef2:
    case kFormStrx2:
    case kFormAddrx2:
        v->number = r.Fixed(2);
        break;
    case kFormStrx3:
    case kFormAddrx3:
        v->number = r.Fixed(3);
        break;
    case kFormData4:
    case kFormRef4:
    case kFormRefSup4:
    case kFormStrx4:
    case kFormAddrx4:
        v->number = r.Fixed(4);
        break;
    case kFormData8:
    case kFormRef8:
    case kFormRefSig8:
    case kFormRefSup8:
        v->number = r.Fixed(8);
        break;
    case kFormData16:
        r.Skip(16);
        break;
    case kFormSdata:
        v->number = static_cast<uint64_t>(r.Sleb());
        break;
    case kFormUdata:
    case kFormRefUdata:
    case kFormStrx:
    case kFormAddrx:
    case kFormLoclistx:
    case kFormRnglistx:
    case kFormGnuAddrIndex:
    case kFormGnuStrIndex:
        v->number = r.Uleb();
        break;
    case kFormString:
        v->string = r.String();
        break;
    case kFormStrp:
    case kFormLineStrp:
    case kFormStrpSup:
    case kFormGnuStrpAlt:
    case kFormSecOffset:
    case kFormGnuRefAlt:
        v->number = r.Fixed(offsetSize);
        break;
    case kFormRefAddr:
        v->number = r.Fixed(u.version <= 2 ? static_cast<size_t>(u.addressSize) : offsetSize);
        break;
    case kFormExprloc:
    case kFormBlock:
        r.Skip(r.Uleb());
        break;
    case kFormBlock1:
        r.Skip(r.Fixed(1));
        break;
    case kFormBlock2:
        r.Skip(r.Fixed(2));
        break;
    case kFormBlock4:
        r.Skip(r.Fixed(4));
        break;
    case kFormFlagPresent:
        v->number = 1;
        break;
    case kFormImplicitConst:
        v->number = static_cast<uint64_t>(implicitConst);
        break;
    case kFormIndirect: {
        const uint16_t real = static_cast<uint16_t>(r.Uleb());
        return real != kFormIndirect && ReadValue(r, real, 0, u, s, v);
    }
    default:
        return false;
    }
    // Strings kept elsewhere.
    if (form == kFormStrp)
        v->string = StringAt(s.str, v->number);
    else if (form == kFormLineStrp)
        v->string = StringAt(s.lineStr, v->number);
    return r.ok;
}

// A string given by index into the unit's string offsets.
const char *IndexedString(const Unit &u, const DwarfSections &s, uint64_t index)
{
    const size_t size = u.dwarf64 ? 8 : 4;
    Reader r(s.strOffsets, u.strOffsetsBase + index * size);
    const uint64_t offset = r.Fixed(size);
    return r.ok ? StringAt(s.str, offset) : nullptr;
}

uint64_t IndexedAddress(const Unit &u, const DwarfSections &s, uint64_t index)
{
    Reader r(s.addr, u.addrBase + index * static_cast<uint64_t>(u.addressSize));
    return r.Fixed(static_cast<size_t>(u.addressSize));
}

const char *StringOf(const Value &v, const Unit &u, const DwarfSections &s)
{
    switch (v.form) {
    case kFormStrx:
    case kFormStrx1:
    case kFormStrx2:
    case kFormStrx3:
    case kFormStrx4:
    case kFormGnuStrIndex:
        return IndexedString(u, s, v.number);
    default:
        return v.string;
    }
}

uint64_t AddressOf(const Value &v, const Unit &u, const DwarfSections &s)
{
    switch (v.form) {
    case kFormAddrx:
    case kFormAddrx1:
    case kFormAddrx2:
    case kFormAddrx3:
    case kFormAddrx4:
    case kFormGnuAddrIndex:
        return IndexedAddress(u, s, v.number);
    default:
        return v.number;
    }
}

// A reference as an offset in .debug_info.
uint64_t ReferenceOf(const Value &v, const Unit &u)
{
    switch (v.form) {
    case kFormRef1:
    case kFormRef2:
    case kFormRef4:
    case kFormRef8:
    case kFormRefUdata:
        return u.offset + v.number;
    case kFormRefAddr:
        return v.number;
    default:
        return 0; // another file's (dwz, type units): not followed
    }
}

void ReadRanges(const Value &v, const Unit &u, const DwarfSections &s, std::vector<Range> *out)
{
    const size_t asize = static_cast<size_t>(u.addressSize);
    if (u.version < 5) {
        Reader r(s.ranges, v.number);
        uint64_t base = u.base;
        const uint64_t all = asize == 8 ? UINT64_MAX : 0xffffffffull;
        for (int i = 0; i < 1 << 16 && r.ok; ++i) {
            const uint64_t begin = r.Fixed(asize), end = r.Fixed(asize);
            if (!r.ok || (begin == 0 && end == 0))
                break;
            if (begin == all)
                base = end;
            else if (begin < end)
                out->push_back({base + begin, base + end});
        }
        return;
    }
    uint64_t offset = v.number;
    if (v.form == kFormRnglistx) {
        const size_t size = u.dwarf64 ? 8 : 4;
        Reader index(s.rngLists, u.rnglistsBase + v.number * size);
        offset = u.rnglistsBase + index.Fixed(size);
        if (!index.ok)
            return;
    }
    Reader r(s.rngLists, offset);
    uint64_t base = u.base;
    for (int i = 0; i < 1 << 16 && r.ok; ++i) {
        const uint8_t kind = static_cast<uint8_t>(r.Fixed(1));
        uint64_t begin = 0, end = 0;
        switch (kind) {
        case 0: // end of list
            return;
        case 1: // base address by index
            base = IndexedAddress(u, s, r.Uleb());
            continue;
        case 2: // start and end by index
            begin = IndexedAddress(u, s, r.Uleb());
            end = IndexedAddress(u, s, r.Uleb());
            break;
        case 3: // start by index, length
            begin = IndexedAddress(u, s, r.Uleb());
            end = begin + r.Uleb();
            break;
        case 4: // offsets from the base
            begin = base + r.Uleb();
            end = base + r.Uleb();
            break;
        case 5: // base address
            base = r.Fixed(asize);
            continue;
        case 6: // start, end
            begin = r.Fixed(asize);
            end = r.Fixed(asize);
            break;
        case 7: // start, length
            begin = r.Fixed(asize);
            end = begin + r.Uleb();
            break;
        default:
            return;
        }
        if (begin < end)
            out->push_back({begin, end});
    }
}

bool Holds(const std::vector<Range> &ranges, uint64_t address)
{
    for (const Range &range : ranges)
        if (address >= range.begin && address < range.end)
            return true;
    return false;
}

// The attributes of one DIE that this reader keeps, from its values.
struct DieAttributes {
    Value lowPc, highPc, ranges;
    bool hasLow = false, hasHigh = false, hasRanges = false;
};

void ApplyRanges(const DieAttributes &a, const Unit &u, const DwarfSections &s,
                 std::vector<Range> *out)
{
    if (a.hasRanges) {
        ReadRanges(a.ranges, u, s, out);
    } else if (a.hasLow && a.hasHigh) {
        const uint64_t low = AddressOf(a.lowPc, u, s);
        const bool offset = a.highPc.form != kFormAddr && a.highPc.form != kFormAddrx &&
                            (a.highPc.form < kFormAddrx1 || a.highPc.form > kFormAddrx4);
        const uint64_t high = offset ? low + a.highPc.number : AddressOf(a.highPc, u, s);
        if (low < high)
            out->push_back({low, high});
    }
}

} // namespace

struct DwarfIndex::Tables {
    std::unordered_map<uint64_t, std::unique_ptr<AbbrevTable>> abbrevs;
};

DwarfIndex::DwarfIndex(const DwarfSections &sections)
    : s_(sections), tables_(std::make_unique<Tables>())
{
}

DwarfIndex::~DwarfIndex() = default;

namespace {

// The abbreviation tables of a file, by their offset.
AbbrevTable *AbbrevsAt(ByteSpan abbrev, uint64_t offset,
                       std::unordered_map<uint64_t, std::unique_ptr<AbbrevTable>> *cache)
{
    auto &table = (*cache)[offset];
    if (table)
        return table.get();
    table = std::make_unique<AbbrevTable>();
    Reader r(abbrev, offset);
    while (r.ok) {
        const uint64_t code = r.Uleb();
        if (code == 0 || !r.ok)
            break;
        Abbrev a;
        a.tag = static_cast<uint16_t>(r.Uleb());
        a.children = r.Fixed(1) != 0;
        for (;;) {
            const uint16_t name = static_cast<uint16_t>(r.Uleb()),
                           form = static_cast<uint16_t>(r.Uleb());
            if (!r.ok || (name == 0 && form == 0))
                break;
            const int64_t constant = form == kFormImplicitConst ? r.Sleb() : 0;
            a.specs.push_back({name, form, constant});
        }
        (*table)[code] = std::move(a);
    }
    return table.get();
}

} // namespace

void DwarfIndex::IndexUnits()
{
    indexed_ = true;
    auto &abbrevCache = tables_->abbrevs;
    Reader r(s_.info);
    while (r.ok && r.left() > 11 && units_.size() < 100000) {
        auto unit = std::make_unique<Unit>();
        Unit &u = *unit;
        u.offset = static_cast<uint64_t>(r.p - s_.info.data);
        const uint64_t length = r.Length(&u.dwarf64);
        const uint8_t *start = r.p;
        if (!r.ok || length > r.left())
            break;
        u.end = static_cast<uint64_t>(start - s_.info.data) + length;
        u.version = static_cast<int>(r.Fixed(2));
        uint64_t abbrevOffset = 0;
        uint8_t type = 1;
        if (u.version >= 5) {
            type = static_cast<uint8_t>(r.Fixed(1));
            u.addressSize = static_cast<int>(r.Fixed(1));
            abbrevOffset = r.Fixed(u.dwarf64 ? 8 : 4);
            if (type == 4 || type == 5)
                r.Skip(8); // the skeleton's id
            else if (type == 2 || type == 6)
                r.Skip(8 + (u.dwarf64 ? 8 : 4)); // a type unit's signature and type
        } else {
            abbrevOffset = r.Fixed(u.dwarf64 ? 8 : 4);
            u.addressSize = static_cast<int>(r.Fixed(1));
        }
        u.dieStart = static_cast<uint64_t>(r.p - s_.info.data);
        r = Reader(s_.info, u.end); // the next unit
        if (u.version < 2 || u.version > 5 || (u.addressSize != 4 && u.addressSize != 8) ||
            !(type == 1 || type == 3 || type == 4))
            continue;
        u.abbrevs = AbbrevsAt(s_.abbrev, abbrevOffset, &abbrevCache);
        // The unit's own DIE: its ranges, line table, folder and the bases of its indexes.
        Reader d(ByteSpan{s_.info.data, static_cast<size_t>(u.end)}, u.dieStart);
        const auto abbrev = u.abbrevs->find(d.Uleb());
        if (abbrev == u.abbrevs->end())
            continue;
        std::vector<std::pair<uint16_t, Value>> values;
        bool readable = true;
        for (const Abbrev::Spec &spec : abbrev->second.specs) {
            Value v;
            readable = readable && ReadValue(d, spec.form, spec.implicitConst, u, s_, &v);
            values.push_back({spec.name, v});
        }
        if (!readable)
            continue;
        for (const auto &[name, v] : values) {
            if (name == kAtStrOffsetsBase)
                u.strOffsetsBase = v.number;
            else if (name == kAtAddrBase)
                u.addrBase = v.number;
            else if (name == kAtRnglistsBase)
                u.rnglistsBase = v.number;
        }
        DieAttributes a;
        for (const auto &[name, v] : values) {
            if (name == kAtLowPc) {
                a.lowPc = v;
                a.hasLow = true;
                u.base = AddressOf(v, u, s_);
            } else if (name == kAtHighPc) {
                a.highPc = v;
                a.hasHigh = true;
            } else if (name == kAtRanges) {
                a.ranges = v;
                a.hasRanges = true;
            } else if (name == kAtLanguage) {
                u.cxx =
                    v.number == 0x04 || v.number == 0x19 || v.number == 0x1a || v.number == 0x21;
            } else if (name == kAtStmtList) {
                u.stmtList = v.number;
                u.hasLines = true;
            } else if (name == kAtCompDir) {
                const char *dir = StringOf(v, u, s_);
                u.compDir = dir ? dir : "";
            }
        }
        ApplyRanges(a, u, s_, &u.ranges);
        for (const Range &range : u.ranges)
            byAddress_[range.begin] = {range.end, &u};
        units_.push_back(std::move(unit));
    }
}

DwarfIndex::Unit *DwarfIndex::UnitAt(uint64_t address)
{
    if (!indexed_)
        IndexUnits();
    auto it = byAddress_.upper_bound(address);
    if (it == byAddress_.begin())
        return nullptr;
    --it;
    return address < it->second.first ? it->second.second : nullptr;
}

DwarfIndex::Unit *DwarfIndex::UnitHolding(uint64_t offset)
{
    auto it =
        std::upper_bound(units_.begin(), units_.end(), offset,
                         [](uint64_t o, const std::unique_ptr<Unit> &u) { return o < u->offset; });
    if (it == units_.begin())
        return nullptr;
    Unit *unit = std::prev(it)->get();
    return offset >= unit->dieStart && offset < unit->end ? unit : nullptr;
}

namespace {

// Every DIE of a unit, flat, each with the index after its subtree.
void ReadDies(Unit &u, const DwarfSections &s)
{
    u.diesRead = true;
    Reader r(ByteSpan{s.info.data, static_cast<size_t>(u.end)}, u.dieStart);
    std::vector<size_t> open; // DIEs whose children are being read
    while (r.ok && r.left() > 0 && u.dies.size() < (1u << 22)) {
        const uint64_t offset = static_cast<uint64_t>(r.p - s.info.data);
        const uint64_t code = r.Uleb();
        if (code == 0) { // the end of the open DIE's children
            if (open.empty())
                break;
            u.dies[open.back()].next = u.dies.size();
            open.pop_back();
            continue;
        }
        const auto abbrev = u.abbrevs->find(code);
        if (abbrev == u.abbrevs->end())
            break;
        Unit::Die die;
        die.offset = offset;
        die.tag = abbrev->second.tag;
        DieAttributes a;
        bool readable = true;
        for (const Abbrev::Spec &spec : abbrev->second.specs) {
            Value v;
            if (!ReadValue(r, spec.form, spec.implicitConst, u, s, &v)) {
                readable = false;
                break;
            }
            switch (spec.name) {
            case kAtName:
                die.name = StringOf(v, u, s);
                break;
            case kAtLinkageName:
            case kAtMipsLinkageName:
                die.linkage = StringOf(v, u, s);
                break;
            case kAtAbstractOrigin:
            case kAtCallOrigin:
                die.origin = ReferenceOf(v, u);
                break;
            case kAtDefinitionOf:
                die.origin = ReferenceOf(v, u);
                die.definesDeclaration = true;
                break;
            case kAtDeclaration:
                die.declaration = v.number != 0;
                break;
            case kAtCallReturnPc:
                die.callReturn = AddressOf(v, u, s);
                break;
            case kAtCallTailCall:
            case kAtGnuTailCall:
                die.tailCall = v.number != 0;
                break;
            case kAtCallFile:
                die.callFile = v.number;
                break;
            case kAtCallLine:
                die.callLine = v.number;
                break;
            case kAtLowPc:
                a.lowPc = v;
                a.hasLow = true;
                break;
            case kAtHighPc:
                a.highPc = v;
                a.hasHigh = true;
                break;
            case kAtRanges:
                a.ranges = v;
                a.hasRanges = true;
                break;
            default:
                break;
            }
        }
        if (!readable)
            break;
        if (die.tag == kTagSubprogram || die.tag == kTagInlined || die.tag == kTagLexicalBlock ||
            die.tag == kTagEntryPoint)
            ApplyRanges(a, u, s, &die.ranges);
        if ((die.tag == kTagCallSite || die.tag == kTagGnuCallSite) && !die.callReturn && a.hasLow)
            die.callReturn = AddressOf(a.lowPc, u, s); // the GNU form's low pc is the return
        die.parent = open.empty() ? SIZE_MAX : open.back();
        const size_t index = u.dies.size();
        u.dies.push_back(std::move(die));
        if (abbrev->second.children)
            open.push_back(index);
        else
            u.dies.back().next = index + 1;
    }
    for (size_t index : open)
        u.dies[index].next = u.dies.size();
}

// The line table of a unit: its rows, its sequences and its files.
void ReadLines(Unit &u, const DwarfSections &s)
{
    u.linesRead = true;
    if (!u.hasLines)
        return;
    Reader r(s.line, u.stmtList);
    bool dwarf64 = false;
    const uint64_t length = r.Length(&dwarf64);
    if (!r.ok || length > r.left())
        return;
    const uint8_t *end = r.p + length;
    r.end = end;
    const int version = static_cast<int>(r.Fixed(2));
    int addressSize = u.addressSize;
    if (version >= 5) {
        addressSize = static_cast<int>(r.Fixed(1));
        r.Fixed(1); // segment selector size
    }
    const uint64_t headerLength = r.Fixed(dwarf64 ? 8 : 4);
    const uint8_t *program = r.p + headerLength;
    const uint8_t minInstruction = static_cast<uint8_t>(r.Fixed(1));
    if (version >= 4)
        r.Fixed(1); // maximum operations per instruction
    const bool defaultStatement = r.Fixed(1) != 0;
    (void)defaultStatement;
    const int8_t lineBase = static_cast<int8_t>(r.Fixed(1));
    const uint8_t lineRange = static_cast<uint8_t>(r.Fixed(1));
    const uint8_t opcodeBase = static_cast<uint8_t>(r.Fixed(1));
    std::vector<uint8_t> lengths(opcodeBase > 0 ? opcodeBase - 1 : 0);
    for (uint8_t &l : lengths)
        l = static_cast<uint8_t>(r.Fixed(1));
    if (!r.ok || lineRange == 0 || program > end)
        return;

    std::vector<std::string> folders;
    if (version >= 5) {
        // Entry formats, then the entries, for folders and then for files.
        Unit v5 = u;
        v5.dwarf64 = dwarf64;
        const auto entries = [&](bool isFile) {
            std::vector<std::pair<uint64_t, uint16_t>> formats(r.Fixed(1));
            for (auto &f : formats) {
                f.first = r.Uleb();
                f.second = static_cast<uint16_t>(r.Uleb());
            }
            const uint64_t count = r.Uleb();
            for (uint64_t i = 0; i < count && r.ok && i < 100000; ++i) {
                std::string path;
                uint64_t folder = 0;
                for (const auto &[content, form] : formats) {
                    Value v;
                    if (!ReadValue(r, form, 0, v5, s, &v))
                        return;
                    if (content == 1) // path
                        path = StringOf(v, u, s) ? StringOf(v, u, s) : "";
                    else if (content == 2) // folder index
                        folder = v.number;
                }
                if (!isFile)
                    folders.push_back(i == 0 ? Join(u.compDir, path) : Join(folders[0], path));
                else
                    u.files.push_back(
                        Join(folder < folders.size() ? folders[folder] : std::string(), path));
            }
        };
        entries(false);
        entries(true);
    } else {
        folders.push_back(u.compDir);
        while (r.ok) {
            const char *folder = r.String();
            if (!folder || !*folder)
                break;
            folders.push_back(Join(u.compDir, folder));
        }
        u.files.emplace_back(); // file numbers count from 1
        while (r.ok) {
            const char *name = r.String();
            if (!name || !*name)
                break;
            const uint64_t folder = r.Uleb();
            r.Uleb(); // time
            r.Uleb(); // size
            u.files.push_back(
                Join(folder < folders.size() ? folders[folder] : std::string(), name));
        }
    }

    r = Reader(ByteSpan{s.line.data, static_cast<size_t>(end - s.line.data)},
               static_cast<uint64_t>(program - s.line.data));
    uint64_t address = 0;
    uint32_t file = 1, line = 1;
    const auto emit = [&](bool last) {
        if (u.rows.size() < (1u << 24))
            u.rows.push_back({address, file, line, last});
    };
    const auto reset = [&] {
        address = 0;
        file = 1;
        line = 1;
    };
    while (r.ok && r.left() > 0) {
        const uint8_t op = static_cast<uint8_t>(r.Fixed(1));
        if (op >= opcodeBase) {
            const uint8_t adjusted = static_cast<uint8_t>(op - opcodeBase);
            address += uint64_t(adjusted / lineRange) * minInstruction;
            line = static_cast<uint32_t>(int64_t(line) + lineBase + adjusted % lineRange);
            emit(false);
            continue;
        }
        switch (op) {
        case 0: {
            const uint64_t size = r.Uleb();
            const uint8_t *next = r.p + std::min<uint64_t>(size, r.left());
            const uint8_t sub = size > 0 ? static_cast<uint8_t>(r.Fixed(1)) : 0;
            if (sub == 1) { // end of sequence
                emit(true);
                reset();
            } else if (sub == 2) { // set address
                address = r.Fixed(size - 1 <= 8 ? static_cast<size_t>(size - 1)
                                                : static_cast<size_t>(addressSize));
            }
            if (r.ok)
                r.p = next;
            break;
        }
        case 1: // copy
            emit(false);
            break;
        case 2:
            address += r.Uleb() * minInstruction;
            break;
        case 3:
            line = static_cast<uint32_t>(int64_t(line) + r.Sleb());
            break;
        case 4:
            file = static_cast<uint32_t>(r.Uleb());
            break;
        case 8: // add the address advance of special opcode 255
            address += uint64_t((255 - opcodeBase) / lineRange) * minInstruction;
            break;
        case 9:
            address += r.Fixed(2);
            break;
        default: // column, statement, blocks, ISA and opcodes this reader does not know
            for (uint8_t i = 0; i < lengths[op - 1]; ++i)
                r.Uleb();
            break;
        }
    }
    // Sequences by their start, for the search.
    size_t first = 0;
    for (size_t i = 0; i < u.rows.size(); ++i) {
        if (!u.rows[i].end)
            continue;
        if (i > first)
            u.sequences.push_back({u.rows[first].address, first});
        first = i + 1;
    }
    std::sort(u.sequences.begin(), u.sequences.end());
}

SourcePlace PlaceOf(const Unit &u, uint64_t file, uint64_t line)
{
    SourcePlace place;
    place.file = file < u.files.size() ? u.files[file] : std::string();
    place.line = place.file.empty() ? 0 : static_cast<int>(line);
    return place;
}

// The line table's place at address: the last row at or before it within its sequence.
bool LineAt(const Unit &u, uint64_t address, SourcePlace *place)
{
    auto seq =
        std::upper_bound(u.sequences.begin(), u.sequences.end(), std::make_pair(address, SIZE_MAX));
    for (int tries = 0; tries < 8 && seq != u.sequences.begin(); ++tries) {
        --seq;
        size_t last = seq->second;
        while (last < u.rows.size() && !u.rows[last].end)
            ++last;
        if (last >= u.rows.size() || address >= u.rows[last].address)
            continue; // past its end: an earlier sequence may still overlap
        auto row = std::upper_bound(u.rows.begin() + static_cast<long>(seq->second),
                                    u.rows.begin() + static_cast<long>(last), address,
                                    [](uint64_t a, const Unit::Row &r) { return a < r.address; });
        --row;
        *place = PlaceOf(u, row->file, row->line);
        return !place->file.empty();
    }
    return false;
}

// The DIEs that hold address, outermost first: the function, its blocks and the calls inlined
// there; namespaces and classes are passed through. thorough: functions that do not hold it are
// looked into as well, where the compiler puts the members of their local classes (a lambda's).
void Descend(const Unit &u, size_t from, size_t to, uint64_t address, std::vector<size_t> *path,
             bool thorough)
{
    for (size_t i = from; i < to && i < u.dies.size();) {
        const Unit::Die &die = u.dies[i];
        const size_t next = std::max(die.next, i + 1);
        const size_t before = path->size();
        switch (die.tag) {
        case kTagSubprogram:
        case kTagInlined:
        case kTagLexicalBlock:
        case kTagEntryPoint:
            if (Holds(die.ranges, address)) {
                path->push_back(i);
                Descend(u, i + 1, next, address, path, thorough);
                return;
            }
            if (thorough && (die.tag == kTagSubprogram || die.tag == kTagLexicalBlock)) {
                Descend(u, i + 1, next, address, path, thorough);
                if (path->size() > before)
                    return;
            }
            break;
        case kTagNamespace:
        case kTagClass:
        case kTagStruct:
        case kTagUnion:
        case kTagModule:
            Descend(u, i + 1, next, address, path, thorough);
            if (path->size() > before)
                return;
            break;
        default:
            break;
        }
        i = next;
    }
}

std::vector<size_t> PathTo(const Unit &u, uint64_t address)
{
    std::vector<size_t> path;
    if (!u.dies.empty()) {
        Descend(u, 1, u.dies.front().next, address, &path, false);
        if (path.empty())
            Descend(u, 1, u.dies.front().next, address, &path, true);
    }
    return path;
}

// Where a function's code begins: its first range (a cold part split off comes later).
uint64_t EntryOf(const Unit::Die &die)
{
    return die.ranges.empty() ? 0 : die.ranges.front().begin;
}

} // namespace

bool DwarfIndex::DieAt(uint64_t offset, Unit **unit, size_t *index)
{
    Unit *holder = UnitHolding(offset);
    if (!holder)
        return false;
    if (!holder->diesRead)
        ReadDies(*holder, s_);
    auto at = std::lower_bound(holder->dies.begin(), holder->dies.end(), offset,
                               [](const Unit::Die &d, uint64_t o) { return d.offset < o; });
    if (at == holder->dies.end() || at->offset != offset)
        return false;
    *unit = holder;
    *index = static_cast<size_t>(at - holder->dies.begin());
    return true;
}

DwarfIndex::Chain DwarfIndex::ChainOf(Unit *unit, size_t index)
{
    // The DIE and those it stands for, as gdb reads an attribute a DIE lacks from them.
    Chain chain;
    chain.unit = unit;
    chain.index = index;
    for (int hops = 0; hops < 8; ++hops) {
        const Unit::Die &die = chain.unit->dies[chain.index];
        if (!chain.linkage)
            chain.linkage = die.linkage;
        if (!chain.name)
            chain.name = die.name;
        chain.declaration = chain.declaration || die.declaration;
        chain.definesDeclaration = chain.definesDeclaration || die.definesDeclaration;
        if (!die.origin || !DieAt(die.origin, &chain.unit, &chain.index))
            break;
    }
    return chain;
}

std::string DwarfIndex::NameOf(Unit &unit, size_t index, bool *made)
{
    // The linkage name demangled; else the entry's own name with the namespaces and classes its
    // declaration stands in, as gdb makes it.
    const Chain chain = ChainOf(&unit, index);
    if (made)
        *made = false;
    // (A C unit's linkage names, such as a 32-bit Windows function's "f@4", gdb passes over.)
    if (chain.linkage && unit.cxx)
        return Demangled(chain.linkage);
    if (!chain.name)
        return {};
    if (made)
        *made = true;
    std::vector<std::string> scopes;
    const Unit &u = *chain.unit;
    for (size_t p = u.dies[chain.index].parent; p < u.dies.size(); p = u.dies[p].parent) {
        const Unit::Die &scope = u.dies[p];
        if (scope.tag == kTagNamespace) {
            scopes.push_back(scope.name ? scope.name : "(anonymous namespace)");
        } else if (scope.tag == kTagClass || scope.tag == kTagStruct || scope.tag == kTagUnion) {
            if (!scope.name)
                break; // an anonymous class has no members of its own to name
            scopes.push_back(scope.name);
        } else if (scope.tag != kTagLexicalBlock) {
            break; // a function's own: local to it, no prefix
        }
    }
    std::string name;
    for (auto it = scopes.rbegin(); it != scopes.rend(); ++it)
        name += *it + "::";
    return name + chain.name;
}

bool DwarfIndex::CallsOf(uint64_t entry, std::vector<Call> *calls)
{
    calls->clear();
    Unit *u = UnitAt(entry);
    if (!u)
        return false;
    if (!u->diesRead)
        ReadDies(*u, s_);
    size_t function = SIZE_MAX;
    for (size_t i : PathTo(*u, entry))
        if (u->dies[i].tag == kTagSubprogram) {
            function = i;
            break;
        }
    if (function == SIZE_MAX || EntryOf(u->dies[function]) != entry)
        return false;
    const size_t end = std::max(u->dies[function].next, function + 1);
    for (size_t i = function + 1; i < end && i < u->dies.size();) {
        const Unit::Die &die = u->dies[i];
        if (die.tag == kTagSubprogram) { // a local class's member: its own calls
            i = std::max(die.next, i + 1);
            continue;
        }
        ++i;
        if ((die.tag != kTagCallSite && die.tag != kTagGnuCallSite) || !die.callReturn)
            continue;
        Call call;
        call.returnAddress = die.callReturn;
        call.tail = die.tailCall;
        Unit *calleeUnit = nullptr;
        size_t callee = 0;
        if (die.origin && DieAt(die.origin, &calleeUnit, &callee)) {
            // A function declared here and defined elsewhere is found by its symbol (not a C++
            // declaration without a linkage name: gdb finds none by the name it makes of it);
            // one defined here by where its code begins; an inlined function's abstract entry,
            // which has no code, not at all.
            const Chain chain = ChainOf(calleeUnit, callee);
            if (chain.declaration && !chain.definesDeclaration) {
                if (chain.linkage)
                    call.targetName = chain.linkage;
                else if (chain.name && !chain.unit->cxx)
                    call.targetName = chain.name;
            } else {
                call.target = EntryOf(calleeUnit->dies[callee]);
            }
        }
        calls->push_back(std::move(call));
    }
    return true;
}

bool DwarfIndex::At(uint64_t address, Function *function)
{
    *function = Function();
    Unit *u = UnitAt(address);
    if (!u)
        return false;
    if (!u->linesRead)
        ReadLines(*u, s_);
    if (!u->diesRead)
        ReadDies(*u, s_);
    SourcePlace place;
    LineAt(*u, address, &place);
    const std::vector<size_t> path = PathTo(*u, address);
    // From the address outwards: each inlined call is at the place found so far, and stands at
    // its call in what encloses it.
    for (auto it = path.rbegin(); it != path.rend(); ++it) {
        const Unit::Die &die = u->dies[*it];
        if (die.tag == kTagSubprogram || die.tag == kTagEntryPoint) {
            function->name = NameOf(*u, *it, &function->madeName);
            function->entryPoint = EntryOf(die);
            function->entry = address;
            for (const Range &range : die.ranges)
                if (address >= range.begin && address < range.end)
                    function->entry = range.begin;
            function->place = place;
            return true;
        }
        if (die.tag != kTagInlined)
            continue;
        function->inlined.push_back({NameOf(*u, *it), place});
        place = PlaceOf(*u, die.callFile, die.callLine);
    }
    function->inlined.clear();
    return false;
}
