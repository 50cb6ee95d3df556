#include "Frames.h"

bool AddFrame(ThreadStack *thread, uint64_t pc)
{
    if (thread->frames.size() >= kStackFrameLimit) {
        thread->walkEnd = WalkEnd::FrameLimit;
        return false;
    }
    StackFrame frame;
    frame.pc = pc;
    thread->frames.push_back(frame);
    return true;
}

uint64_t LookupAddress(uint64_t pc, bool interrupted)
{
    return interrupted || pc == 0 ? pc : pc - 1;
}

namespace {

StackFrame Named(const StackFrame &unwound, const CodeSymbol &symbol)
{
    StackFrame frame = unwound;
    frame.function = symbol.function;
    frame.offset = symbol.function.isEmpty() ? 0 : frame.pc - symbol.start;
    frame.module = symbol.module;
    frame.moduleOffset = symbol.module.isEmpty() ? 0 : frame.pc - symbol.moduleBase;
    frame.file = symbol.file;
    frame.line = symbol.line;
    return frame;
}

// The frames shown for one unwound frame: one per inlined call, innermost first, then its own.
void AppendShown(const StackFrame &unwound, const CodeSymbol &symbol, QVector<StackFrame> *shown)
{
    const StackFrame own = Named(unwound, symbol);
    for (const InlinedCall &call : symbol.inlined) {
        StackFrame frame = own;
        frame.function = call.function;
        frame.offset = 0; // an inlined call has no start of its own
        frame.file = call.file;
        frame.line = call.line;
        frame.inlined = true;
        shown->push_back(frame);
    }
    shown->push_back(own);
}

} // namespace

void ResolveFrames(StackCapture *capture, const QVector<QVector<uint64_t>> &lookups,
                   QHash<uint64_t, CodeSymbol> *cache,
                   const std::function<CodeSymbol(uint64_t)> &resolve)
{
    for (int t = 0; t < capture->threads.size() && t < lookups.size(); ++t) {
        ThreadStack &thread = capture->threads[t];
        QVector<StackFrame> shown;
        for (int f = 0; f < thread.frames.size(); ++f) {
            if (f >= lookups[t].size()) {
                shown.push_back(thread.frames[f]);
                continue;
            }
            auto it = cache->find(lookups[t][f]);
            if (it == cache->end())
                it = cache->insert(lookups[t][f], resolve(lookups[t][f]));
            AppendShown(thread.frames[f], *it, &shown);
        }
        if (shown.size() > kStackFrameLimit) {
            shown.resize(kStackFrameLimit);
            thread.walkEnd = WalkEnd::FrameLimit;
            thread.walkError.clear();
        }
        thread.frames = shown;
    }
}
