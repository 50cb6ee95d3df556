#pragma once
// What DWARF (versions 2 to 5) says stands at a code address of a module: the calls inlined
// there, innermost first, each at its place, and the place of the outermost call in the
// function they are part of. It reads sections given as bytes (a PE file's, whose DWARF the
// system's symbol handler reads with lines that the information contradicts), so it is pure
// parsing, bounded by the sections, and testable on any platform against a real module file.
//
// The line of an address is the line table's last row at or before it in its sequence, the
// way llvm-symbolizer reads it; an inlined call's line is the call's line in the function it
// was inlined into.
#include "PeImage.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct DwarfSections {
    ByteSpan info, abbrev, line, str, lineStr, ranges, rngLists, addr, strOffsets;
};

// The DWARF sections a module file carries (empty spans for those it has not).
DwarfSections DwarfSectionsOf(const PeImage &pe);

struct SourcePlace {
    std::string file; // as the line table names it, joined with its folders
    int line = 0;
};

struct InlinedAt {
    std::string function; // the name the debug information gives, may be empty
    SourcePlace place;    // where in it the address is
};

class DwarfIndex {
public:
    explicit DwarfIndex(const DwarfSections &sections);
    ~DwarfIndex();
    DwarfIndex(const DwarfIndex &) = delete;
    DwarfIndex &operator=(const DwarfIndex &) = delete;

    // The function holding address (the file's own addresses): its name, where it begins, the
    // calls inlined at the address, innermost first, each with its place, and the place of the
    // outermost call (or of the address itself when nothing is inlined there). False when no
    // function of any unit holds the address.
    // Names are gdb's: the linkage name demangled, else the entry's own name with the namespaces
    // and classes its declaration stands in (madeName: the latter, without parameter list).
    struct Function {
        std::string name;
        bool madeName = false;
        uint64_t entry = 0;      // where the part of its code that holds the address begins
        uint64_t entryPoint = 0; // where its code begins (a cold part split off comes later)
        std::vector<InlinedAt> inlined;
        SourcePlace place;
    };
    bool At(uint64_t address, Function *function);

    // A call the function records (DW_TAG_call_site, or the GNU form), for the tail calls it
    // proves: where it returns to, and the function called, by its entry where this file places
    // it, else by the symbol of a function it declares and another file may define.
    struct Call {
        uint64_t returnAddress = 0;
        uint64_t target = 0;
        std::string targetName;
        bool tail = false;
    };
    // The calls of the function entered at entry; false when no function begins there.
    bool CallsOf(uint64_t entry, std::vector<Call> *calls);

    struct Unit;
    struct Tables;

private:
    // A DIE with those it is an instance or definition of: what gdb reads from them.
    struct Chain {
        Unit *unit = nullptr; // where the last of them is (its declaration, for a definition)
        size_t index = 0;
        const char *linkage = nullptr, *name = nullptr;
        bool declaration = false, definesDeclaration = false;
    };
    Unit *UnitAt(uint64_t address);
    Unit *UnitHolding(uint64_t offset);
    bool DieAt(uint64_t offset, Unit **unit, size_t *index);
    Chain ChainOf(Unit *unit, size_t index);
    std::string NameOf(Unit &unit, size_t die, bool *made = nullptr);
    void IndexUnits();

    DwarfSections s_;
    bool indexed_ = false;
    std::unique_ptr<Tables> tables_; // abbreviations, by their offset
    std::vector<std::unique_ptr<Unit>> units_;
    std::map<uint64_t, std::pair<uint64_t, Unit *>> byAddress_; // start -> (end, unit)
};
