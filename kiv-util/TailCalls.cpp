#include "TailCalls.h"

#include <algorithm>

namespace {

// A search that goes on this long is following a tangle no debugger would unravel either.
constexpr int kSearchSteps = 4096;

// The search's state: the chain it is on, by return address, outermost first, and what the
// chains found so far have in common at either end.
struct Chains {
    QVector<uint64_t> path;
    bool found = false;
    QVector<uint64_t> common;
    int callers = 0, callees = 0;
    int steps = 0;

    // path is a chain: false when the chains now have nothing in common.
    bool Add()
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
        while (i < std::min(callees, length) &&
               common[common.size() - 1 - i] == path[length - 1 - i])
            ++i;
        callees = i;
        return callers > 0 || callees > 0;
    }
};

// Every chain of tail calls from the function entered at entry to the callee; false when a call
// on the way cannot be followed or the chains found have nothing in common.
bool Search(CallRecords &records, uint64_t entry, uint64_t calleeEntry, Chains *chains)
{
    QVector<RecordedCall> calls;
    if (!records.CallsOf(entry, &calls))
        return false;
    for (const RecordedCall &call : calls) {
        if (!call.tail)
            continue;
        if (++chains->steps > kSearchSteps || !call.target)
            return false;
        if (chains->path.contains(call.returnAddress))
            continue;
        chains->path.push_back(call.returnAddress);
        if (call.target == calleeEntry) {
            if (!chains->Add())
                return false;
        } else if (!Search(records, call.target, calleeEntry, chains)) {
            return false;
        }
        chains->path.pop_back();
    }
    return true;
}

} // namespace

QVector<uint64_t> TailCallsBetween(CallRecords &records, uint64_t callerEntry,
                                   uint64_t callerReturn, uint64_t calleeEntry)
{
    QVector<uint64_t> shown;
    RecordedCall call;
    Chains chains;
    if (!calleeEntry || !callerEntry ||
        !records.CallReturningTo(callerEntry, callerReturn, &call) || !call.target ||
        call.target == calleeEntry || !Search(records, call.target, calleeEntry, &chains) ||
        !chains.found)
        return shown;
    const QVector<uint64_t> &chain = chains.common;
    const int length = chain.size();
    for (int i = 0; i < length; ++i)
        if (i < chains.callers || i >= length - chains.callees)
            shown.push_front(chain[i]); // innermost first
    return shown;
}
