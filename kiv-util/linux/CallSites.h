#pragma once
// The calls a function makes, as its debug information records them, to put back the frames
// of tail calls: a function that ends in a jump to another leaves no return address of its own
// on the stack, and only the records of its calls tell that it was there.
#include <QHash>
#include <QPair>
#include <QVector>
#include <elfutils/libdwfl.h>

class CallSites {
public:
    // The functions that tail-called their way from the call returning to callerReturn to the
    // function entered at calleeEntry, innermost first, each by the return address of its own
    // tail call (the address to place it by, less one). Of several possible chains, the calls
    // all of them begin with and all of them end with. Empty when the call went there directly,
    // or when the records allow no chain, or chains with nothing in common, or one on the way
    // cannot be followed (a call through a pointer). Addresses are running ones.
    QVector<uint64_t> Between(Dwfl *dwfl, uint64_t callerReturn, uint64_t calleeEntry);

private:
    struct Site {
        uint64_t returnAddress = 0;
        uint64_t target = 0; // the entry of the function called; 0 when not known
        bool tail = false;
    };
    struct Function {
        bool known = false; // the debug information has a function entered here
        QVector<Site> sites;
    };
    const Function &FunctionEnteredAt(Dwfl *dwfl, uint64_t entry);
    bool SiteReturningTo(Dwfl *dwfl, uint64_t returnAddress, Site *site);
    QVector<Site> SitesOf(Dwfl *dwfl, Dwfl_Module *module, Dwarf_Die *function, Dwarf_Addr bias);
    struct Symbol {
        uint64_t address = 0;
        bool global = false;
    };
    uint64_t SymbolAddress(Dwfl *dwfl, const QByteArray &name);
    static QHash<QByteArray, Symbol> FunctionsOf(Dwfl_Module *module);
    // The search's state: the chain it is on, by return address, outermost first, and what the
    // chains found so far have in common at either end.
    struct Chains {
        QVector<uint64_t> path;
        bool found = false;
        QVector<uint64_t> common;
        int callers = 0, callees = 0;
        int steps = 0;
        bool Add(); // path is a chain: false when the chains now have nothing in common
    };
    bool Search(Dwfl *dwfl, uint64_t entry, uint64_t calleeEntry, Chains *chains);

    QHash<uint64_t, Function> functions_;                   // by entry
    QHash<uint64_t, uint64_t> entries_;                     // code address: its function's entry
    QHash<Dwfl_Module *, QHash<QByteArray, Symbol>> names_; // defined functions by symbol name
    QHash<QPair<uint64_t, uint64_t>, QVector<uint64_t>> chains_;
};
