#pragma once
// A Windows module file (PE, 32- or 64-bit) as bytes: its identity (what the loaded module's
// header must match), its sections (the DWARF that MinGW builds and Wine's own modules carry),
// and the names it gives code without any debug information: its exports and its COFF symbol
// table. Pure parsing of a buffer, no system calls, so both platforms' tests can read real
// files; every offset and size is checked against the buffer.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct ByteSpan {
    const uint8_t *data = nullptr;
    size_t size = 0;
};

class PeImage {
public:
    struct Section {
        std::string name; // long names ("/4" in the header) resolved from the string table
        uint32_t address = 0, virtualSize = 0;
        uint32_t fileOffset = 0, fileSize = 0;
        bool code = false;
    };
    struct Symbol {
        uint32_t rva = 0;
        std::string name; // as the file spells it (a C++ name mangled)
    };
    enum class NameSource { None, Exports, SymbolTable };

    // False when data is no PE file this reader understands.
    bool Parse(const uint8_t *data, size_t size);

    bool is64() const { return is64_; }
    uint64_t imageBase() const { return imageBase_; }
    uint32_t sizeOfImage() const { return sizeOfImage_; }
    uint32_t timeDateStamp() const { return timeDateStamp_; }
    uint32_t checkSum() const { return checkSum_; }
    const std::vector<Section> &sections() const { return sections_; }
    const std::vector<Symbol> &exports() const { return exports_; }
    const std::vector<Symbol> &symbols() const { return symbols_; }

    // The file's bytes of a section, by name; empty when there is none.
    ByteSpan SectionData(const char *name) const;

    // The function at rva as the exports or the symbol table name it: the nearest one at or
    // before rva, taken only when nothing known begins between the two (a function of the
    // exception table, another symbol) and rva lies in code. None when nothing vouches for a
    // name.
    NameSource NameAt(uint32_t rva, std::string *name, uint32_t *start) const;

private:
    const uint8_t *At(uint32_t rva, uint32_t size) const; // file bytes of an rva range
    const Section *SectionOf(uint32_t rva) const;
    void ReadExports(uint32_t rva, uint32_t size);
    void ReadSymbols(uint32_t offset, uint32_t count);
    void ReadFunctionTable(uint32_t rva, uint32_t size);
    void ReadFrameTable(); // .eh_frame, where there is no exception table (32-bit programs)

    const uint8_t *data_ = nullptr;
    size_t size_ = 0;
    bool is64_ = false;
    uint64_t imageBase_ = 0;
    uint32_t sizeOfImage_ = 0, timeDateStamp_ = 0, checkSum_ = 0;
    std::vector<Section> sections_;
    std::vector<Symbol> exports_, symbols_; // by rva
    // [begin, end) of each function of the exception table (64-bit) or of the unwind table
    // (.eh_frame, 32-bit MinGW programs), by begin
    std::vector<std::pair<uint32_t, uint32_t>> functions_;
};
