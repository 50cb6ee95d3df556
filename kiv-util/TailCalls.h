#pragma once
// Tail calls put back from the debug information's records of calls (DW_TAG_call_site and the
// GNU form before it), searched as gdb searches them. A function that ends in a jump to another
// leaves no return address of its own on the stack: only the records tell it was there.
#include <QVector>
#include <cstdint>

// A call as recorded, in running addresses.
struct RecordedCall {
    uint64_t returnAddress = 0;
    uint64_t target = 0; // the entry of the function called; 0 when not known
    bool tail = false;
};

// What a back end reads of the records.
class CallRecords {
public:
    virtual ~CallRecords() = default;
    // The calls of the function entered at entry, the targets of its tail calls looked up (of
    // the others, they may be left 0); false when no function is known to begin there.
    virtual bool CallsOf(uint64_t entry, QVector<RecordedCall> *calls) = 0;
    // The call of the function entered at entry that returns to returnAddress, its target
    // looked up; false when none is recorded.
    virtual bool CallReturningTo(uint64_t entry, uint64_t returnAddress, RecordedCall *call) = 0;
};

// The functions that tail-called their way from the call returning to callerReturn (in the
// function entered at callerEntry) to the function entered at calleeEntry, innermost first, each by
// the return address of its own tail call (the address to place it by, less one). Every chain is
// searched, each call site once a chain; of several, the calls all of them begin with and all of
// them end with are given (they are proven), none where they part. Empty when the call went there
// directly, when no chain exists, when the chains have nothing in common, or when a call on the way
// cannot be followed (a call through a pointer, a function without records).
QVector<uint64_t> TailCallsBetween(CallRecords &records, uint64_t callerEntry,
                                   uint64_t callerReturn, uint64_t calleeEntry);
