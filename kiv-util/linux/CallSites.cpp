#include "CallSites.h"

#include "Scopes.h"

#include <dwarf.h>
#include <elfutils/libdw.h>
#include <gelf.h>

#include <algorithm>

namespace {

// A search that goes on this long is following a tangle no debugger would unravel either.
constexpr int kSearchSteps = 4096;

bool Flag(Dwarf_Die *die, int name, int gnuName)
{
    Dwarf_Attribute attr;
    bool flag = false;
    return (dwarf_attr(die, name, &attr) || dwarf_attr(die, gnuName, &attr)) &&
           dwarf_formflag(&attr, &flag) == 0 && flag;
}

bool IsCxx(Dwarf_Die *die)
{
    Dwarf_Die unit;
    const int language = dwarf_diecu(die, &unit, nullptr, nullptr) ? dwarf_srclang(&unit) : -1;
    return language == DW_LANG_C_plus_plus || language == DW_LANG_C_plus_plus_03 ||
           language == DW_LANG_C_plus_plus_11 || language == DW_LANG_C_plus_plus_14;
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

QVector<uint64_t> CallSites::Between(Dwfl *dwfl, uint64_t callerReturn, uint64_t calleeEntry)
{
    const QPair<uint64_t, uint64_t> key(callerReturn, calleeEntry);
    const auto known = chains_.constFind(key);
    if (known != chains_.constEnd())
        return *known;
    QVector<uint64_t> shown;
    Site call;
    Chains chains;
    if (calleeEntry && SiteReturningTo(dwfl, callerReturn, &call) && call.target &&
        call.target != calleeEntry && Search(dwfl, call.target, calleeEntry, &chains) &&
        chains.found) {
        // The calls every chain begins with and those every chain ends with are proven; where
        // the chains part, nothing is.
        const QVector<uint64_t> &chain = chains.common;
        const int length = chain.size();
        for (int i = 0; i < length; ++i)
            if (i < chains.callers || i >= length - chains.callees)
                shown.push_front(chain[i]); // innermost first
    }
    chains_.insert(key, shown);
    return shown;
}

// Every chain of tail calls from the function entered at entry to the callee, each call site
// taken once a chain, as gdb searches them; false when a call on the way cannot be followed or
// the chains found have nothing in common.
bool CallSites::Search(Dwfl *dwfl, uint64_t entry, uint64_t calleeEntry, Chains *chains)
{
    const Function function = FunctionEnteredAt(dwfl, entry);
    if (!function.known)
        return false;
    for (const Site &site : function.sites) {
        if (!site.tail)
            continue;
        if (++chains->steps > kSearchSteps || !site.target)
            return false;
        if (chains->path.contains(site.returnAddress))
            continue;
        chains->path.push_back(site.returnAddress);
        if (site.target == calleeEntry) {
            if (!chains->Add())
                return false;
        } else if (!Search(dwfl, site.target, calleeEntry, chains)) {
            return false;
        }
        chains->path.pop_back();
    }
    return true;
}

bool CallSites::Chains::Add()
{
    const int length = path.size();
    if (!found) {
        found = true;
        common = path;
        callers = callees = length;
        return true;
    }
    int i = 0;
    while (i < std::min(callers, length) && common[i] == path[i])
        ++i;
    callers = i;
    i = 0;
    while (i < std::min(callees, length) && common[common.size() - 1 - i] == path[length - 1 - i])
        ++i;
    callees = i;
    return callers > 0 || callees > 0;
}

const CallSites::Function &CallSites::FunctionEnteredAt(Dwfl *dwfl, uint64_t entry)
{
    auto it = functions_.find(entry);
    if (it != functions_.end())
        return *it;
    Function function;
    Dwfl_Module *module = dwfl_addrmodule(dwfl, entry);
    Dwarf_Die die;
    Dwarf_Addr bias = 0;
    if (module && FunctionAt(module, entry, &die, &bias) && EntryOf(&die) + bias == entry) {
        function.known = true;
        function.sites = SitesOf(dwfl, module, &die, bias);
    }
    return *functions_.insert(entry, function);
}

bool CallSites::SiteReturningTo(Dwfl *dwfl, uint64_t returnAddress, Site *site)
{
    const uint64_t call = returnAddress - 1;
    auto entry = entries_.find(call);
    if (entry == entries_.end()) {
        Dwfl_Module *module = dwfl_addrmodule(dwfl, call);
        Dwarf_Die die;
        Dwarf_Addr bias = 0;
        const bool found = module && FunctionAt(module, call, &die, &bias);
        entry = entries_.insert(call, found ? EntryOf(&die) + bias : 0);
    }
    if (*entry == 0)
        return false;
    for (const Site &candidate : FunctionEnteredAt(dwfl, *entry).sites) {
        if (candidate.returnAddress == returnAddress) {
            *site = candidate;
            return true;
        }
    }
    return false;
}

QVector<CallSites::Site> CallSites::SitesOf(Dwfl *dwfl, Dwfl_Module *module, Dwarf_Die *function,
                                            Dwarf_Addr bias)
{
    QVector<Site> sites;
    Dwarf_Die child;
    if (dwarf_child(function, &child) != 0)
        return sites;
    do {
        const int tag = dwarf_tag(&child);
        if (tag == DW_TAG_lexical_block || tag == DW_TAG_inlined_subroutine) {
            sites += SitesOf(dwfl, module, &child, bias);
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
        Site site;
        site.returnAddress = at + bias;
        site.tail = Flag(&child, DW_AT_call_tail_call, DW_AT_GNU_tail_call);
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
                const char *name = nullptr;
                if (dwarf_attr_integrate(&callee, DW_AT_linkage_name, &attr) ||
                    dwarf_attr_integrate(&callee, DW_AT_MIPS_linkage_name, &attr) ||
                    (!IsCxx(&callee) && dwarf_attr_integrate(&callee, DW_AT_name, &attr)))
                    name = dwarf_formstring(&attr);
                // A C++ declaration without a linkage name (a C function's, extern "C") is
                // not followed: gdb, the judge, finds no symbol by the name it makes of it.
                if (name)
                    site.target = SymbolAddress(dwfl, QByteArray(name));
            } else if (const Dwarf_Addr entry = EntryOf(&callee)) {
                site.target = entry + bias;
            }
        }
        sites.push_back(site);
    } while (dwarf_siblingof(&child, &child) == 0);
    return sites;
}

// A function's address by its symbol name, as a debugger finds it: a global symbol of the
// modules in the order they lie (the program first), else a local one.
uint64_t CallSites::SymbolAddress(Dwfl *dwfl, const QByteArray &name)
{
    Modules modules;
    dwfl_getmodules(dwfl, AddModule, &modules, 0);
    std::sort(modules.byBase.begin(), modules.byBase.end());
    uint64_t local = 0;
    for (const auto &entry : modules.byBase) {
        Dwfl_Module *module = entry.second;
        auto table = names_.find(module);
        if (table == names_.end())
            table = names_.insert(module, FunctionsOf(module));
        const auto found = table->constFind(name);
        if (found == table->constEnd())
            continue;
        if (found->global)
            return found->address;
        if (!local)
            local = found->address;
    }
    return local;
}

QHash<QByteArray, CallSites::Symbol> CallSites::FunctionsOf(Dwfl_Module *module)
{
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
    return names;
}
