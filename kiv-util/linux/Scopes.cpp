#include "Scopes.h"

#include "DebugFiles.h"

#include <QByteArray>
#include <QRegularExpression>
#include <QSet>

#include <cstdlib>
#include <cstring>
#include <dwarf.h>
#include <elfutils/libdw.h>
#include <vector>

namespace {

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
// thorough: look inside the functions that do not hold pc too, where the compiler puts the
// members of their local classes (a lambda's own functions among them).
bool Descend(Dwarf_Die *parent, Dwarf_Addr pc, std::vector<Dwarf_Die> *path, bool thorough)
{
    Dwarf_Die child;
    if (dwarf_child(parent, &child) != 0)
        return false;
    do {
        const int tag = dwarf_tag(&child);
        switch (tag) {
        case DW_TAG_subprogram:
        case DW_TAG_inlined_subroutine:
        case DW_TAG_lexical_block:
        case DW_TAG_entry_point:
            if (dwarf_haspc(&child, pc) == 1) {
                path->push_back(child);
                Descend(&child, pc, path, thorough);
                return true;
            }
            if (thorough && (tag == DW_TAG_subprogram || tag == DW_TAG_lexical_block) &&
                Descend(&child, pc, path, thorough))
                return true;
            break;
        case DW_TAG_namespace:
        case DW_TAG_class_type:
        case DW_TAG_structure_type:
        case DW_TAG_union_type:
        case DW_TAG_module:
            if (Descend(&child, pc, path, thorough))
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
    if (UnitOf(module, cu, &unit) &&
        (Descend(&unit, address, &path, false) || Descend(&unit, address, &path, true)))
        return path;
    Dwarf_Addr bias = 0;
    for (Dwarf_Die *other = dwfl_module_nextcu(module, nullptr, &bias); other;
         other = dwfl_module_nextcu(module, other, &bias)) {
        path.clear();
        if (other->addr != cu->addr && dwarf_haspc(other, address) == 1 &&
            UnitOf(module, other, &unit) && Descend(&unit, address, &path, false))
            return path;
    }
    path.clear();
    return path;
}

} // namespace

namespace {

DwarfNames::Key KeyOf(Dwarf_Die *die)
{
    return {dwarf_cu_getdwarf(die->cu), dwarf_dieoffset(die)};
}

bool IsScope(int tag)
{
    return tag == DW_TAG_namespace || tag == DW_TAG_class_type || tag == DW_TAG_structure_type ||
           tag == DW_TAG_union_type;
}

const char *OwnName(Dwarf_Die *die)
{
    Dwarf_Attribute attr;
    return dwarf_attr_integrate(die, DW_AT_name, &attr) ? dwarf_formstring(&attr) : nullptr;
}

} // namespace

QString DwarfNames::NameOf(Dwarf_Die *die, bool *made)
{
    if (made)
        *made = false;
    // (A C unit's linkage names, such as a 32-bit Windows function's "f@4", gdb passes over.)
    Dwarf_Attribute attr;
    const char *linkage = nullptr;
    if (IsCxx(die) && (dwarf_attr_integrate(die, DW_AT_linkage_name, &attr) ||
                       dwarf_attr_integrate(die, DW_AT_MIPS_linkage_name, &attr)))
        linkage = dwarf_formstring(&attr);
    if (linkage)
        return CleanSymbolName(linkage, true);
    const char *name = OwnName(die);
    if (!name)
        return QString();
    // The scopes are those of the declaration: an inlined call and a member defined outside its
    // class point at it through the entries they stand for.
    Dwarf_Die declaration = *die;
    for (int i = 0; i < 8; ++i) {
        Dwarf_Die next;
        if (!(dwarf_attr(&declaration, DW_AT_specification, &attr) ||
              dwarf_attr(&declaration, DW_AT_abstract_origin, &attr)) ||
            !dwarf_formref_die(&attr, &next))
            break;
        declaration = next;
    }
    if (made)
        *made = true;
    return PrefixOf(&declaration) + QString::fromUtf8(name);
}

QString DwarfNames::PrefixOf(Dwarf_Die *die)
{
    Dwarf_Die unit;
    if (!dwarf_diecu(die, &unit, nullptr, nullptr))
        return QString();
    if (!units_.contains(KeyOf(&unit))) {
        units_.insert(KeyOf(&unit));
        Learn(&unit, false);
    }
    const auto parent = parents_.constFind(KeyOf(die));
    if (parent == parents_.constEnd())
        return QString(); // at the top of its unit, or local to a function
    const auto known = prefixes_.constFind(*parent);
    if (known != prefixes_.constEnd())
        return *known;
    Dwarf_Die scope;
    QString prefix;
    if (dwarf_offdie(static_cast<Dwarf *>(const_cast<void *>(parent->first)), parent->second,
                     &scope)) {
        const char *name = OwnName(&scope);
        if (dwarf_tag(&scope) == DW_TAG_namespace)
            prefix = PrefixOf(&scope) +
                     (name ? QString::fromUtf8(name) : QStringLiteral("(anonymous namespace)")) +
                     QStringLiteral("::");
        else if (name) // an anonymous class has no members of its own to name
            prefix = PrefixOf(&scope) + QString::fromUtf8(name) + QStringLiteral("::");
    }
    prefixes_.insert(*parent, prefix);
    return prefix;
}

void DwarfNames::Learn(Dwarf_Die *scope, bool inScope)
{
    // Only namespaces and classes are entered: what is declared in a function has no prefix.
    Dwarf_Die child;
    if (dwarf_child(scope, &child) != 0)
        return;
    const Dwarf_Off at = dwarf_dieoffset(scope);
    do {
        const int tag = dwarf_tag(&child);
        if (inScope && (tag == DW_TAG_subprogram || IsScope(tag)))
            parents_.insert(KeyOf(&child), {dwarf_cu_getdwarf(child.cu), at});
        if (IsScope(tag))
            Learn(&child, true);
    } while (dwarf_siblingof(&child, &child) == 0);
}

bool IsCxx(Dwarf_Die *die)
{
    Dwarf_Die unit;
    const int language = dwarf_diecu(die, &unit, nullptr, nullptr) ? dwarf_srclang(&unit) : -1;
    return language == DW_LANG_C_plus_plus || language == DW_LANG_C_plus_plus_03 ||
           language == DW_LANG_C_plus_plus_11 || language == DW_LANG_C_plus_plus_14;
}

Dwarf_Addr EntryOf(Dwarf_Die *function)
{
    Dwarf_Addr entry = 0;
    if (dwarf_entrypc(function, &entry) == 0)
        return entry;
    // Code in several ranges (a cold part split off) begins at the first of them.
    Dwarf_Addr base = 0, start = 0, end = 0;
    return dwarf_ranges(function, 0, &base, &start, &end) > 0 ? start : 0;
}

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

bool FunctionAt(Dwfl_Module *module, uint64_t address, Dwarf_Die *function, Dwarf_Addr *bias)
{
    Dwarf_Die *cu = dwfl_module_addrdie(module, address, bias);
    if (!cu)
        return false;
    for (Dwarf_Die &scope : ScopesAt(module, address - *bias, cu)) {
        if (dwarf_tag(&scope) == DW_TAG_subprogram) {
            *function = scope;
            return true;
        }
    }
    return false;
}

void AddScopes(Dwfl_Module *module, uint64_t address, CodeSymbol *symbol, DwarfNames *names,
               FunctionDie *function)
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
        symbol->inlined.push_back({names->NameOf(&call), file, line});
        CallSite(&call, &file, &line);
    }
    if (!symbol->inlined.isEmpty()) {
        symbol->file = file;
        symbol->line = line;
    }
    // The function by its source name, as a debugger names it: a clone's symbol carries the
    // compiler's suffix (".constprop.0"), a template's demangled symbol its return type.
    for (Dwarf_Die &scope : path) {
        if (dwarf_tag(&scope) != DW_TAG_subprogram)
            continue;
        bool made = false;
        QString name = names->NameOf(&scope, &made);
        // A name made from the scopes has no parameter list (a function with internal linkage
        // has no linkage name): its symbol's has, where it names the same function.
        QString own = WithoutReturnType(symbol->function);
        static const QRegularExpression clone(QStringLiteral(" \\[clone [^]]*\\]"));
        own.remove(clone);
        if (made && own.startsWith(name + QLatin1Char('(')))
            name = own;
        if (!name.isEmpty()) {
            symbol->function = name;
            symbol->nameFrom = NameFrom::DebugInfo;
        }
        symbol->entry = EntryOf(&scope) + bias;
        if (function)
            *function = {module, scope, bias};
        break;
    }
}
