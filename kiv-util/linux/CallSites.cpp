#include "CallSites.h"

#include <dwarf.h>
#include <elfutils/libdw.h>
#include <gelf.h>

#include <algorithm>

namespace {

bool Flag(Dwarf_Die *die, int name, int gnuName)
{
    Dwarf_Attribute attr;
    bool flag = false;
    return (dwarf_attr(die, name, &attr) || dwarf_attr(die, gnuName, &attr)) &&
           dwarf_formflag(&attr, &flag) == 0 && flag;
}

struct Modules {
    QVector<QPair<Dwarf_Addr, Dwfl_Module *>> byBase;
};

int AddModule(Dwfl_Module *module, void **, const char *, Dwarf_Addr base, void *arg)
{
    static_cast<Modules *>(arg)->byBase.push_back({base, module});
    return DWARF_CB_OK;
}

} // namespace

QVector<uint64_t> CallSites::Between(Dwfl *dwfl, uint64_t callerEntry, uint64_t callerReturn,
                                     uint64_t calleeEntry)
{
    const QPair<uint64_t, uint64_t> key(callerReturn, calleeEntry);
    const auto known = chains_.constFind(key);
    if (known != chains_.constEnd())
        return *known;
    dwfl_ = dwfl;
    calleeEntry_ = calleeEntry;
    const QVector<uint64_t> shown = TailCallsBetween(*this, callerEntry, callerReturn, calleeEntry);
    chains_.insert(key, shown);
    return shown;
}

bool CallSites::CallsOf(uint64_t entry, QVector<RecordedCall> *calls)
{
    const Function function = FunctionEnteredAt(entry);
    *calls = function.calls;
    for (int i = 0; i < calls->size(); ++i)
        if ((*calls)[i].tail)
            (*calls)[i].target = Target(function, i);
    return function.known;
}

bool CallSites::CallReturningTo(uint64_t entry, uint64_t returnAddress, RecordedCall *call)
{
    const Function function = FunctionEnteredAt(entry);
    for (int i = 0; i < function.calls.size(); ++i) {
        if (function.calls[i].returnAddress == returnAddress) {
            *call = function.calls[i];
            call->target = Target(function, i);
            return true;
        }
    }
    return false;
}

const CallSites::Function &CallSites::FunctionEnteredAt(uint64_t entry)
{
    auto it = functions_.find(entry);
    if (it != functions_.end())
        return *it;
    Function function;
    FunctionDie found;
    const auto die = dies_.constFind(entry);
    if (die != dies_.constEnd()) {
        found = *die;
    } else {
        found.module = dwfl_addrmodule(dwfl_, entry);
        if (found.module && !FunctionAt(found.module, entry, &found.die, &found.bias))
            found.module = nullptr;
    }
    if (found.module && EntryOf(&found.die) + found.bias == entry) {
        function.known = true;
        CallsIn(&found.die, found.bias, &function);
    }
    return *functions_.insert(entry, function);
}

void CallSites::CallsIn(Dwarf_Die *scope, Dwarf_Addr bias, Function *function)
{
    Dwarf_Die child;
    if (dwarf_child(scope, &child) != 0)
        return;
    do {
        const int tag = dwarf_tag(&child);
        if (tag == DW_TAG_lexical_block || tag == DW_TAG_inlined_subroutine) {
            CallsIn(&child, bias, function);
            continue;
        }
        if (tag != DW_TAG_call_site && tag != DW_TAG_GNU_call_site)
            continue;
        Dwarf_Attribute attr;
        Dwarf_Addr at = 0;
        if (!(dwarf_attr(&child, DW_AT_call_return_pc, &attr) ||
              dwarf_attr(&child, DW_AT_low_pc, &attr)) ||
            dwarf_formaddr(&attr, &at) != 0)
            continue;
        RecordedCall call;
        QByteArray declared;
        call.returnAddress = at + bias;
        call.tail = Flag(&child, DW_AT_call_tail_call, DW_AT_GNU_tail_call);
        Dwarf_Die callee;
        if ((dwarf_attr(&child, DW_AT_call_origin, &attr) ||
             dwarf_attr(&child, DW_AT_abstract_origin, &attr)) &&
            dwarf_formref_die(&attr, &callee)) {
            // A function declared here and defined elsewhere (in another module, as often as
            // not) is found by its symbol; one defined here by where its code begins. A call
            // to an inlined function's abstract entry, which has no code, is not followed.
            // (Link-time optimisation leaves the declaration behind an abstract origin.)
            bool declaration = false;
            if (dwarf_attr_integrate(&callee, DW_AT_declaration, &attr))
                dwarf_formflag(&attr, &declaration);
            if (declaration && !dwarf_attr_integrate(&callee, DW_AT_specification, &attr)) {
                // A C++ declaration without a linkage name (a C function's, extern "C") is
                // not followed: gdb, the judge, finds no symbol by the name it makes of it.
                if (dwarf_attr_integrate(&callee, DW_AT_linkage_name, &attr) ||
                    dwarf_attr_integrate(&callee, DW_AT_MIPS_linkage_name, &attr) ||
                    (!IsCxx(&callee) && dwarf_attr_integrate(&callee, DW_AT_name, &attr)))
                    declared = dwarf_formstring(&attr);
            } else if (const Dwarf_Addr entry = EntryOf(&callee)) {
                call.target = entry + bias;
            }
        }
        function->calls.push_back(call);
        function->declared.push_back(declared);
    } while (dwarf_siblingof(&child, &child) == 0);
}

uint64_t CallSites::Target(const Function &function, int i)
{
    const QByteArray &name = function.declared[i];
    if (name.isEmpty())
        return function.calls[i].target;
    auto known = symbols_.constFind(name);
    if (known == symbols_.constEnd())
        known = symbols_.insert(name, SymbolAddress(name));
    return *known;
}

// A function's address by its symbol name, as a debugger finds it: a global symbol of the
// modules in the order they lie (the program first), else a local one. The callee's module is
// asked first: a call to a declared function is most often the call to the frame before.
uint64_t CallSites::SymbolAddress(const QByteArray &name)
{
    if (Dwfl_Module *callee = dwfl_addrmodule(dwfl_, calleeEntry_)) {
        const auto found = FunctionsOf(callee).constFind(name);
        if (found != FunctionsOf(callee).constEnd() && found->global)
            return found->address;
    }
    Modules modules;
    dwfl_getmodules(dwfl_, AddModule, &modules, 0);
    std::sort(modules.byBase.begin(), modules.byBase.end());
    uint64_t local = 0;
    for (const auto &entry : modules.byBase) {
        const QHash<QByteArray, Symbol> &table = FunctionsOf(entry.second);
        const auto found = table.constFind(name);
        if (found == table.constEnd())
            continue;
        if (found->global)
            return found->address;
        if (!local)
            local = found->address;
    }
    return local;
}

const QHash<QByteArray, CallSites::Symbol> &CallSites::FunctionsOf(Dwfl_Module *module)
{
    auto table = names_.find(module);
    if (table != names_.end())
        return *table;
    QHash<QByteArray, Symbol> names;
    const int count = dwfl_module_getsymtab(module);
    for (int i = 1; i < count; ++i) {
        GElf_Sym symbol;
        GElf_Addr address = 0;
        GElf_Word section = 0;
        const char *raw =
            dwfl_module_getsym_info(module, i, &symbol, &address, &section, nullptr, nullptr);
        const int type = GELF_ST_TYPE(symbol.st_info);
        if (!raw || section == SHN_UNDEF || (type != STT_FUNC && type != STT_GNU_IFUNC))
            continue;
        // The default version answers to the plain name, another version to its own only
        // ("sem_wait@@GLIBC_2.34" is sem_wait, "sem_wait@GLIBC_2.2.5" the old one).
        QByteArray plain(raw);
        const int at = plain.indexOf('@');
        if (at >= 0 && plain.mid(at, 2) != "@@")
            continue;
        if (at >= 0)
            plain.truncate(at);
        const bool global = GELF_ST_BIND(symbol.st_info) != STB_LOCAL;
        auto it = names.find(plain);
        if (it == names.end() || (global && !it->global))
            names.insert(plain, {address, global});
    }
    return *names_.insert(module, names);
}
