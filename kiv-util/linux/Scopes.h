#pragma once
// What the debug information says stands at a code address: the calls inlined there and the
// function they are part of, found in whichever unit holds the address (the unit libdw's
// address table names, the split unit of a skeleton, or under link-time optimisation another
// unit whose ranges hold it).
#include "Frames.h"

#include <elfutils/libdwfl.h>

// The source line at address, from its unit's line table. Of several rows at one address the
// last is taken, or where that one is no statement's, the statement's row before it.
void AddLine(Dwfl_Module *module, uint64_t address, CodeSymbol *symbol);

// Adds the calls inlined at address to symbol, innermost first, and places symbol at the
// outermost call. Where the address lies in a unit of functions but in none of them (code
// libdw cannot place, such as a skeleton whose split unit is missing), the line table's line
// would be a callee's or a neighbour's: symbol then gets no line at all.
void AddScopes(Dwfl_Module *module, uint64_t address, CodeSymbol *symbol);
