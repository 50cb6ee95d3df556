#pragma once
// What the debug information says stands at a code address: the calls inlined there and the
// function they are part of, found in whichever unit holds the address (the unit libdw's
// address table names, the split unit of a skeleton, or under link-time optimisation another
// unit whose ranges hold it).
#include "Frames.h"

#include <QHash>
#include <QPair>
#include <QSet>
#include <elfutils/libdwfl.h>

// Names of functions as the debug information gives them, spelled as a debugger spells them:
// the linkage name demangled, else the entry's own name with the namespaces and classes its
// declaration stands in. What it learns of each unit's scopes it keeps.
class DwarfNames {
public:
    // made: whether the name was made from the scopes (there being no linkage name).
    QString NameOf(Dwarf_Die *die, bool *made = nullptr);
    using Key = QPair<const void *, Dwarf_Off>; // the Dwarf it is in, its offset there

private:
    QString PrefixOf(Dwarf_Die *die);
    void Learn(Dwarf_Die *scope, bool inScope);

    QSet<Key> units_;              // units whose scopes were learnt
    QHash<Key, Key> parents_;      // functions and scopes inside a scope, and that scope
    QHash<Key, QString> prefixes_; // by scope: "ns::Class::"
};

// A function's entry as libdw reads it, with its module.
struct FunctionDie {
    Dwfl_Module *module = nullptr;
    Dwarf_Die die = {};
    Dwarf_Addr bias = 0;
};

// The source line at address, from its unit's line table. Of several rows at one address the
// last is taken, or where that one is no statement's, the statement's row before it.
void AddLine(Dwfl_Module *module, uint64_t address, CodeSymbol *symbol);

// Adds the calls inlined at address to symbol, innermost first, and places symbol at the
// outermost call, named as in the debug information (its function's entry noted). Where the address
// lies in a unit of functions but in none of them (code libdw cannot place, such as a skeleton
// whose split unit is missing), the line table's line would be a callee's or a neighbour's: symbol
// then gets no line at all.
// function: the entry of the function found, where one is.
void AddScopes(Dwfl_Module *module, uint64_t address, CodeSymbol *symbol, DwarfNames *names,
               FunctionDie *function = nullptr);

// The function whose code holds address (a running one), and the bias of its module.
bool FunctionAt(Dwfl_Module *module, uint64_t address, Dwarf_Die *function, Dwarf_Addr *bias);

// Whether die is in a unit of C++.
bool IsCxx(Dwarf_Die *die);

// Where a function's code begins (its entry), in its module's own addresses.
Dwarf_Addr EntryOf(Dwarf_Die *function);
