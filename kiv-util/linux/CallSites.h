#pragma once
// The calls a function makes as libdw reads their records, for the tail calls they prove.
#include "Scopes.h"
#include "TailCalls.h"

#include <QByteArray>
#include <QHash>
#include <QPair>
#include <QVector>
#include <elfutils/libdwfl.h>

class CallSites : public CallRecords {
public:
    // The tail calls between the call returning to callerReturn, in the function entered at
    // callerEntry, and the function entered at calleeEntry (see TailCallsBetween); each pair
    // looked at once.
    QVector<uint64_t> Between(Dwfl *dwfl, uint64_t callerEntry, uint64_t callerReturn,
                              uint64_t calleeEntry);
    // A function's entry found while naming a frame: its calls are read from there.
    void Know(uint64_t entry, const FunctionDie &function) { dies_.insert(entry, function); }

    bool CallsOf(uint64_t entry, QVector<RecordedCall> *calls) override;
    bool CallReturningTo(uint64_t entry, uint64_t returnAddress, RecordedCall *call) override;

private:
    // A function's calls; a call to a function it declares is looked up by symbol name only
    // when a search needs it (most are to functions that do not matter).
    struct Function {
        bool known = false; // the debug information has a function entered here
        QVector<RecordedCall> calls;
        QVector<QByteArray> declared; // for each call, the symbol of the function it declares
    };
    struct Symbol {
        uint64_t address = 0;
        bool global = false;
    };
    const Function &FunctionEnteredAt(uint64_t entry);
    void CallsIn(Dwarf_Die *scope, Dwarf_Addr bias, Function *function);
    uint64_t Target(const Function &function, int i);
    uint64_t SymbolAddress(const QByteArray &name);
    // The function of the module by that symbol name (a global one before a local one).
    static Symbol FindFunction(Dwfl_Module *module, const QByteArray &name);
    const QHash<QByteArray, uint64_t> &ExportsOf(Dwfl_Module *module);

    Dwfl *dwfl_ = nullptr;
    // The pair looked at: their modules are searched first for a declared function.
    uint64_t calleeEntry_ = 0, callerReturn_ = 0;
    QHash<uint64_t, FunctionDie> dies_;
    QHash<uint64_t, Function> functions_; // by entry
    QHash<QByteArray, uint64_t> symbols_; // declared functions found, by symbol name
    QHash<Dwfl_Module *, QHash<QByteArray, uint64_t>> exports_; // the dynamic symbols' ones
    QHash<QPair<uint64_t, uint64_t>, QVector<uint64_t>> chains_;
};
