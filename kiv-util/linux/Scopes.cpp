#include "Scopes.h"

#include "DebugFiles.h"

#include <QByteArray>

#include <cstdlib>
#include <cstring>
#include <dwarf.h>
#include <elfutils/libdw.h>
#include <vector>

namespace {

// A DIE's name as shown: its linkage name demangled, else its plain name, from the DIE or the
// abstract one it is an instance of.
QString DieName(Dwarf_Die *die)
{
    Dwarf_Attribute attr;
    const char *linkage = nullptr;
    if (dwarf_attr_integrate(die, DW_AT_linkage_name, &attr) ||
        dwarf_attr_integrate(die, DW_AT_MIPS_linkage_name, &attr))
        linkage = dwarf_formstring(&attr);
    if (linkage)
        return CleanSymbolName(linkage);
    const char *name =
        dwarf_attr_integrate(die, DW_AT_name, &attr) ? dwarf_formstring(&attr) : nullptr;
    return name ? QString::fromUtf8(name) : QString();
}

// Where an inlined call stands in the function it was inlined into (file numbers are the
// call's own unit's).
void CallSite(Dwarf_Die *inlined, QString *file, int *line)
{
    Dwarf_Attribute attr;
    Dwarf_Word index = 0, number = 0;
    Dwarf_Files *files = nullptr;
    size_t count = 0;
    Dwarf_Die cu;
    file->clear();
    *line = 0;
    if (dwarf_formudata(dwarf_attr(inlined, DW_AT_call_line, &attr), &number) == 0)
        *line = static_cast<int>(number);
    if (dwarf_formudata(dwarf_attr(inlined, DW_AT_call_file, &attr), &index) == 0 &&
        dwarf_diecu(inlined, &cu, nullptr, nullptr) &&
        dwarf_getsrcfiles(&cu, &files, &count) == 0 && index < count)
        if (const char *name = dwarf_filesrc(files, index, nullptr, nullptr))
            *file = QString::fromUtf8(name);
}

bool IsSkeleton(Dwarf_Die *cu)
{
    uint8_t type = 0;
    const int read =
        dwarf_cu_info(cu->cu, nullptr, &type, nullptr, nullptr, nullptr, nullptr, nullptr);
    return read == 0 && type == DW_UT_skeleton;
}

// The unit whose DIEs describe the code at address (module's own addresses, less bias): for a
// skeleton its split unit.
bool UnitOf(Dwfl_Module *module, Dwarf_Die *cu, Dwarf_Die *unit)
{
    if (IsSkeleton(cu))
        return FindSplitUnit(module, cu, unit);
    *unit = *cu;
    return true;
}

// Whether a unit holds functions (a skeleton does, in its split unit); a unit of assembly
// code has none, and its line table alone places its code.
bool HoldsFunctions(Dwarf_Die *cu)
{
    if (IsSkeleton(cu))
        return true;
    Dwarf_Die child;
    for (int more = dwarf_child(cu, &child); more == 0; more = dwarf_siblingof(&child, &child))
        if (dwarf_tag(&child) == DW_TAG_subprogram)
            return true;
    return false;
}

// The DIEs that hold pc as the code was compiled, outermost first: the namespaces and classes
// on the way, the function, its blocks and the calls inlined there. Abstract origins are not
// followed (link-time optimisation puts them in other units). False when no function holds pc.
bool Descend(Dwarf_Die *parent, Dwarf_Addr pc, std::vector<Dwarf_Die> *path)
{
    Dwarf_Die child;
    if (dwarf_child(parent, &child) != 0)
        return false;
    do {
        switch (dwarf_tag(&child)) {
        case DW_TAG_subprogram:
        case DW_TAG_inlined_subroutine:
        case DW_TAG_lexical_block:
        case DW_TAG_entry_point:
            if (dwarf_haspc(&child, pc) == 1) {
                path->push_back(child);
                Descend(&child, pc, path);
                return true;
            }
            break;
        case DW_TAG_namespace:
        case DW_TAG_class_type:
        case DW_TAG_structure_type:
        case DW_TAG_union_type:
        case DW_TAG_module:
            if (Descend(&child, pc, path))
                return true;
            break;
        default:
            break;
        }
    } while (dwarf_siblingof(&child, &child) == 0);
    return false;
}

// The DIEs holding address, outermost first, in the unit that has a function there: the one
// libdw's address table names, else (link-time optimisation spreads code over units) any
// other whose ranges hold the address. Empty when none has.
std::vector<Dwarf_Die> ScopesAt(Dwfl_Module *module, Dwarf_Addr address, Dwarf_Die *cu)
{
    std::vector<Dwarf_Die> path;
    Dwarf_Die unit;
    if (UnitOf(module, cu, &unit) && Descend(&unit, address, &path))
        return path;
    Dwarf_Addr bias = 0;
    for (Dwarf_Die *other = dwfl_module_nextcu(module, nullptr, &bias); other;
         other = dwfl_module_nextcu(module, other, &bias)) {
        path.clear();
        if (other->addr != cu->addr && dwarf_haspc(other, address) == 1 &&
            UnitOf(module, other, &unit) && Descend(&unit, address, &path))
            return path;
    }
    path.clear();
    return path;
}

} // namespace

void AddLine(Dwfl_Module *module, uint64_t address, CodeSymbol *symbol)
{
    Dwarf_Addr bias = 0;
    Dwarf_Die *cu = dwfl_module_addrdie(module, address, &bias);
    Dwarf_Lines *lines = nullptr;
    size_t count = 0;
    if (!cu || dwarf_getsrclines(cu, &lines, &count) != 0 || count == 0)
        return;
    const Dwarf_Addr at = address - bias;
    const auto rowAddress = [lines](size_t i) {
        Dwarf_Addr a = 0;
        dwarf_lineaddr(dwarf_onesrcline(lines, i), &a);
        return a;
    };
    // The last row at or before the address: the rows are in address order.
    size_t low = 0, high = count;
    while (low < high) {
        const size_t middle = low + (high - low) / 2;
        if (rowAddress(middle) <= at)
            low = middle + 1;
        else
            high = middle;
    }
    if (low == 0)
        return;
    size_t best = low - 1;
    bool end = false;
    dwarf_lineendsequence(dwarf_onesrcline(lines, best), &end);
    if (end)
        return;
    // Of the rows at one address, a statement's row where the last is none (the way gdb picks
    // one).
    const auto flag = [lines](size_t i) {
        bool statement = false;
        dwarf_linebeginstatement(dwarf_onesrcline(lines, i), &statement);
        return statement;
    };
    const auto lineOf = [lines](size_t i) {
        int number = 0;
        dwarf_lineno(dwarf_onesrcline(lines, i), &number);
        return number;
    };
    for (size_t i = best;
         !flag(best) && i > 0 && rowAddress(i - 1) == rowAddress(i) && lineOf(i - 1) != 0; --i)
        if (flag(i - 1))
            best = i - 1;
    Dwarf_Line *row = dwarf_onesrcline(lines, best);
    int number = 0;
    const char *file = dwarf_linesrc(row, nullptr, nullptr);
    if (file && dwarf_lineno(row, &number) == 0) {
        symbol->file = QString::fromUtf8(file);
        symbol->line = number;
    }
}

void AddScopes(Dwfl_Module *module, uint64_t address, CodeSymbol *symbol)
{
    Dwarf_Addr bias = 0;
    Dwarf_Die *cu = dwfl_module_addrdie(module, address, &bias);
    if (!cu)
        return;
    std::vector<Dwarf_Die> path = ScopesAt(module, address - bias, cu);
    if (path.empty() && HoldsFunctions(cu)) {
        symbol->file.clear();
        symbol->line = 0;
        return;
    }
    // From the address outwards: inlined calls, the blocks between them, and at last the
    // function they are all part of.
    QString file = symbol->file;
    int line = symbol->line;
    for (auto it = path.rbegin(); it != path.rend() && dwarf_tag(&*it) != DW_TAG_subprogram; ++it) {
        if (dwarf_tag(&*it) != DW_TAG_inlined_subroutine)
            continue;
        Dwarf_Die call = *it;
        symbol->inlined.push_back({DieName(&call), file, line});
        CallSite(&call, &file, &line);
    }
    if (!symbol->inlined.isEmpty()) {
        symbol->file = file;
        symbol->line = line;
    }
}
