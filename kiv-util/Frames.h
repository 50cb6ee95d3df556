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
    // Where the function's code begins as the debug information says (its symbol may be a
    // part of it, such as a cold part split off); 0 when not known.
    uint64_t entry = 0;
    QString module;
    uint64_t moduleBase = 0;      // subtracted from an address to give its moduleOffset
    QString file;                 // where function is at the address: the call of the outermost
    int line = 0;                 // inlined call, where there is one
    QVector<InlinedCall> inlined; // the calls inlined at the address, innermost first
};

// A symbol's name as shown: without version suffix, demangled where it is a C++ name. A debugger
// shows a function template's return type where it names a function by its symbol, and not
// where the debug information does (withoutReturnType).
QString CleanSymbolName(const char *raw, bool withoutReturnType = false);
// The demangler spells a function template with its return type first ("void f<int>(int)"): the
// name begins after the last space outside brackets before the parameter list.
QString WithoutReturnType(const QString &name);

// Appends a frame at pc, to be named by lookup. Past kStackFrameLimit frames the innermost stay
// and the outermost kOutermostShown roll on behind a gap that counts what was left out; at
// kWalkLimit it appends nothing, marks the walk as cut off there and returns false.
bool AddFrame(ThreadStack *thread, uint64_t pc, uint64_t lookup);

// The address to name a frame by. A caller's pc is a return address, which points past the
// call and may lie in the next function or line: the call itself is one byte before. The
// innermost frame (and any frame a signal interrupted) is named at its pc.
uint64_t LookupAddress(uint64_t pc, bool interrupted);

// The functions that tail-called their way from caller's call, returning to callerPc, to
// callee's function: each by the return address of its own tail call, innermost first.
using TailCalls = std::function<QVector<uint64_t>(const CodeSymbol &callee,
                                                  const CodeSymbol &caller, uint64_t callerPc)>;

// Fills in the names of every frame yet to be named, by the address it carries, asking resolve
// only for addresses that cache does not hold yet. A frame with inlined calls becomes one frame
// for each, innermost first, then its own; where tailCalls knows of tail calls between a frame
// and its caller, a frame for each stands between them. The frame limit counts them all.
void ResolveFrames(StackCapture *capture, QHash<uint64_t, CodeSymbol> *cache,
                   const std::function<CodeSymbol(uint64_t)> &resolve,
                   const TailCalls &tailCalls = TailCalls());
