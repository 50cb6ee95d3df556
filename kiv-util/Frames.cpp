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

void ResolveFrames(StackCapture *capture, const QVector<QVector<uint64_t>> &lookups,
                   QHash<uint64_t, CodeSymbol> *cache,
                   const std::function<CodeSymbol(uint64_t)> &resolve)
{
    for (int t = 0; t < capture->threads.size() && t < lookups.size(); ++t) {
        ThreadStack &thread = capture->threads[t];
        for (int f = 0; f < thread.frames.size() && f < lookups[t].size(); ++f) {
            const uint64_t address = lookups[t][f];
            auto it = cache->find(address);
            if (it == cache->end())
                it = cache->insert(address, resolve(address));
            StackFrame &frame = thread.frames[f];
            frame.function = it->function;
            frame.offset = it->function.isEmpty() ? 0 : frame.pc - it->start;
            frame.module = it->module;
            frame.moduleOffset = it->module.isEmpty() ? 0 : frame.pc - it->moduleBase;
            frame.file = it->file;
            frame.line = it->line;
        }
    }
}
