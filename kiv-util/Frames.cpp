#include "Frames.h"

#include <QByteArray>
#include <algorithm>
#include <cstdlib>
#if __has_include(<cxxabi.h>)
#include <cxxabi.h>
#define NORVA_HAVE_CXXABI 1
#endif

bool AddFrame(ThreadStack *thread, uint64_t pc, uint64_t lookup)
{
    if (thread->frames.size() + thread->omittedLookups.size() >= kWalkLimit) {
        thread->walkEnd = WalkEnd::FrameLimit;
        return false;
    }
    StackFrame frame;
    frame.pc = pc;
    frame.lookup = lookup;
    thread->frames.push_back(frame);
    // Past the limit the innermost frames stay and the outermost ones roll on behind a gap,
    // dropped a block at a time so that a deep walk costs no more than a shallow one per frame.
    constexpr int kInnermost = kStackFrameLimit - kOutermostShown;
    if (thread->frames.size() >= kStackFrameLimit + kOutermostShown * 16) {
        const int drop = thread->frames.size() - kOutermostShown - kInnermost;
        for (int i = kInnermost; i < kInnermost + drop; ++i)
            thread->omittedLookups.push_back(thread->frames[i].lookup);
        thread->frames.remove(kInnermost, drop);
        thread->omittedAt = kInnermost;
    }
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
        frame.tailCall = false;
        shown->push_back(frame);
    }
    shown->push_back(own);
}

} // namespace

void ResolveFrames(StackCapture *capture, QHash<uint64_t, CodeSymbol> *cache,
                   const std::function<CodeSymbol(uint64_t)> &resolve, const TailCalls &tailCalls)
{
    const auto symbolAt = [cache, &resolve](uint64_t lookup) -> CodeSymbol {
        auto it = cache->find(lookup);
        if (it == cache->end())
            it = cache->insert(lookup, resolve(lookup));
        return *it;
    };
    for (ThreadStack &thread : capture->threads) {
        QVector<StackFrame> shown;
        int gap = -1;
        // The last unwound frame's function: a caller's tail calls may stand between them.
        CodeSymbol callee;
        bool haveCallee = false;
        const auto tailsTo = [&](const CodeSymbol &caller, uint64_t callerPc,
                                 uint64_t callerLookup) {
            return tailCalls && haveCallee && callerLookup + 1 == callerPc
                       ? tailCalls(callee, caller, callerPc)
                       : QVector<uint64_t>();
        };
        for (int i = 0; i < thread.frames.size(); ++i) {
            if (i == thread.omittedAt) {
                // What was left out is counted as it would have been shown.
                gap = shown.size();
                for (uint64_t lookup : thread.omittedLookups) {
                    haveCallee = lookup != 0;
                    if (!haveCallee) {
                        ++thread.omittedFrames;
                        continue;
                    }
                    const CodeSymbol caller = symbolAt(lookup);
                    for (uint64_t tail : tailsTo(caller, lookup + 1, lookup))
                        thread.omittedFrames += 1 + symbolAt(tail - 1).inlined.size();
                    callee = caller;
                    thread.omittedFrames += 1 + callee.inlined.size();
                }
                thread.omittedLookups.clear();
            }
            const StackFrame &frame = thread.frames[i];
            if (frame.lookup == 0 || !frame.function.isEmpty() || frame.inlined) {
                shown.push_back(frame); // named already, or nothing to name it by
                haveCallee = false;
                continue;
            }
            const CodeSymbol caller = symbolAt(frame.lookup);
            for (uint64_t tail : tailsTo(caller, frame.pc, frame.lookup)) {
                StackFrame called;
                called.pc = tail;
                called.lookup = tail - 1;
                called.tailCall = true;
                AppendShown(called, symbolAt(called.lookup), &shown);
            }
            callee = caller;
            haveCallee = true;
            AppendShown(frame, callee, &shown);
        }
        // Inlined calls and tail calls counted, the stack keeps its innermost frames and its
        // kOutermostShown outermost ones.
        constexpr int kInnermost = kStackFrameLimit - kOutermostShown;
        thread.omittedAt = -1;
        if (gap >= 0 || shown.size() > kStackFrameLimit) {
            if (gap < 0)
                gap = kInnermost;
            const int head = std::min(gap, kInnermost);
            const int tail = std::max(gap, int(shown.size()) - kOutermostShown);
            shown.remove(head, tail - head);
            thread.omittedFrames += tail - head;
            if (thread.omittedFrames > 0)
                thread.omittedAt = head;
        }
        thread.frames = shown;
    }
}

namespace {

bool IsNamePart(QChar c)
{
    return c.isLetterOrNumber() || c == QLatin1Char('_');
}

} // namespace

QString WithoutReturnType(const QString &name)
{
    int depth = 0, begin = 0;
    for (int i = 0; i < name.size(); ++i) {
        const QChar c = name[i];
        const auto wordAt = [&name, i](const char *word, int length) {
            return name.midRef(i, length) == QLatin1String(word) &&
                   (i == 0 || !IsNamePart(name[i - 1])) &&
                   (i + length == name.size() || !IsNamePart(name[i + length]));
        };
        if (depth == 0 && wordAt("operator", 8))
            break; // the rest names an operator, with brackets and spaces of its own
        if (c == QLatin1Char('(') && depth == 0 &&
            !name.leftRef(i).trimmed().endsWith(QLatin1String("decltype")) &&
            !name.midRef(i).startsWith(QLatin1String("(anonymous namespace)")))
            break; // the parameter list
        if (c == QLatin1Char('<') || c == QLatin1Char('(') || c == QLatin1Char('[') ||
            c == QLatin1Char('{'))
            ++depth;
        else if ((c == QLatin1Char('>') || c == QLatin1Char(')') || c == QLatin1Char(']') ||
                  c == QLatin1Char('}')) &&
                 depth > 0)
            --depth;
        else if (c == QLatin1Char(' ') && depth == 0)
            begin = i + 1;
    }
    return name.mid(begin);
}

QString CleanSymbolName(const char *raw, bool withoutReturnType)
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
    if (status == 0 && demangled && withoutReturnType)
        result = WithoutReturnType(result);
    std::free(demangled);
    return result;
#else
    return QString::fromUtf8(name);
#endif
}
