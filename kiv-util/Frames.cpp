#include "Frames.h"

#include <QByteArray>
#include <cstdlib>
#if __has_include(<cxxabi.h>)
#include <cxxabi.h>
#define NORVA_HAVE_CXXABI 1
#endif

bool AddFrame(ThreadStack *thread, uint64_t pc, uint64_t lookup)
{
    if (thread->frames.size() >= kStackFrameLimit) {
        thread->walkEnd = WalkEnd::FrameLimit;
        return false;
    }
    StackFrame frame;
    frame.pc = pc;
    frame.lookup = lookup;
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
    frame.nameFrom = symbol.nameFrom;
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
        frame.nameFrom = NameFrom::DebugInfo;
        frame.offset = 0; // an inlined call has no start of its own
        frame.file = call.file;
        frame.line = call.line;
        frame.inlined = true;
        shown->push_back(frame);
    }
    shown->push_back(own);
}

} // namespace

void ResolveFrames(StackCapture *capture, QHash<uint64_t, CodeSymbol> *cache,
                   const std::function<CodeSymbol(uint64_t)> &resolve)
{
    for (ThreadStack &thread : capture->threads) {
        QVector<StackFrame> shown;
        for (const StackFrame &frame : thread.frames) {
            if (frame.lookup == 0 || !frame.function.isEmpty() || frame.inlined) {
                shown.push_back(frame); // named already, or nothing to name it by
                continue;
            }
            auto it = cache->find(frame.lookup);
            if (it == cache->end())
                it = cache->insert(frame.lookup, resolve(frame.lookup));
            AppendShown(frame, *it, &shown);
        }
        if (shown.size() > kStackFrameLimit) {
            shown.resize(kStackFrameLimit);
            thread.walkEnd = WalkEnd::FrameLimit;
            thread.walkError.clear();
        }
        thread.frames = shown;
    }
}

QString CleanSymbolName(const char *raw)
{
    QByteArray name(raw);
    const int at = name.indexOf('@'); // versioned symbols: memcpy@@GLIBC_2.14
    if (at > 0)
        name.truncate(at);
        // Only mangled names: the demangler would read a C function "h" as the type it encodes.
#if defined(NORVA_HAVE_CXXABI)
    int status = -1;
    char *demangled = name.startsWith("_Z")
                          ? abi::__cxa_demangle(name.constData(), nullptr, nullptr, &status)
                          : nullptr;
    QString result = QString::fromUtf8(status == 0 && demangled ? demangled : name.constData());
    std::free(demangled);
    return result;
#else
    return QString::fromUtf8(name);
#endif
}
