#pragma once
// Frames as both back ends build them: the frame limit, the address each frame is named by,
// and naming frames through a cache.
#include "CaptureModel.h"

#include <QHash>
#include <functional>

// A call inlined at a code address: the function inlined, and the place in it.
struct InlinedCall {
    QString function;
    QString file;
    int line = 0;
};

// What one code address resolves to.
struct CodeSymbol {
    QString function;
    NameFrom nameFrom = NameFrom::DebugInfo;
    uint64_t start = 0; // address where function begins
    QString module;
    uint64_t moduleBase = 0;      // subtracted from an address to give its moduleOffset
    QString file;                 // where function is at the address: the call of the outermost
    int line = 0;                 // inlined call, where there is one
    QVector<InlinedCall> inlined; // the calls inlined at the address, innermost first
};

// A symbol's name as shown: without version suffix, demangled where it is a C++ name.
QString CleanSymbolName(const char *raw);

// Appends a frame at pc, to be named by lookup; at the limit it appends nothing, marks the
// thread as cut off there and returns false.
bool AddFrame(ThreadStack *thread, uint64_t pc, uint64_t lookup);

// The address to name a frame by. A caller's pc is a return address, which points past the
// call and may lie in the next function or line: the call itself is one byte before. The
// innermost frame (and any frame a signal interrupted) is named at its pc.
uint64_t LookupAddress(uint64_t pc, bool interrupted);

// Fills in the names of every frame yet to be named, by the address it carries, asking resolve
// only for addresses that cache does not hold yet. A frame with inlined calls becomes one frame
// for each, innermost first, then its own; the frame limit counts them.
void ResolveFrames(StackCapture *capture, QHash<uint64_t, CodeSymbol> *cache,
                   const std::function<CodeSymbol(uint64_t)> &resolve);
