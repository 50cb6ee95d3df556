#include "Walk.h"

#include "ModuleFiles.h"
#include "SymbolSession.h"
#include "TailCalls.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <cstring>

#include <dbghelp.h>

namespace {

// The walk under way on this thread: DbgHelp's memory callback gets no argument of ours.
struct Walking {
    const ThreadCopy *copy = nullptr;
    const std::vector<ThreadCopy> *all = nullptr; // every copy of the capture
    ImageMemory *images = nullptr;                // the modules' read-only memory
    bool beyondCopy = false;                      // a word of its stack was wanted past the copy
    bool failed = false;                          // a read failed during the current step
    uint64_t failedAt = 0;
};
thread_local Walking *t_walking = nullptr;

// The thread whose stack holds address, if any.
const ThreadCopy *StackOwner(const Walking &walking, uint64_t address)
{
    for (const ThreadCopy &copy : *walking.all)
        if (copy.stack.InStack(address))
            return &copy;
    return nullptr;
}

// DbgHelp's memory reads during a walk: a stack (this thread's, or another's a pointer leads
// into) from its copy and never from the live process, where a running thread has overwritten
// it since; anything else (code, unwind data, module data) from the process.
BOOL CALLBACK ReadMemory(HANDLE process, DWORD64 address, PVOID buffer, DWORD size, LPDWORD read)
{
    Walking *walking = t_walking;
    if (read)
        *read = 0;
    if (!walking)
        return FALSE;
    const ThreadCopy *owner = walking->copy;
    StackCopy::Read result = owner->stack.ReadAt(address, buffer, size);
    if (result == StackCopy::Read::NotStack && (owner = StackOwner(*walking, address)))
        result = owner->stack.ReadAt(address, buffer, size);
    if (result == StackCopy::Read::Copied) {
        if (read)
            *read = size;
        return TRUE;
    }
    if (result == StackCopy::Read::BeyondCopy) {
        walking->beyondCopy = walking->beyondCopy || owner == walking->copy;
        return FALSE;
    }
    if (walking->images->Read(process, address, buffer, size)) {
        if (read)
            *read = size;
        return TRUE;
    }
    SIZE_T got = 0;
    const BOOL ok =
        ReadProcessMemory(process, reinterpret_cast<LPCVOID>(address), buffer, size, &got);
    if (read)
        *read = static_cast<DWORD>(got);
    if (!ok && !walking->failed) {
        walking->failed = true;
        walking->failedAt = address;
    }
    return ok;
}

// DbgHelp's inline-frame functions (DbgHelp 6.2, Windows 8 and later; Wine has them too), looked
// up at run time so that Windows 7 keeps working: there, frames show no inlined calls.
struct InlineApi {
    using Count = DWORD(WINAPI *)(HANDLE, DWORD64);
    using Query = BOOL(WINAPI *)(HANDLE, DWORD64, DWORD, DWORD64, DWORD64, LPDWORD, LPDWORD);
    using Symbol = BOOL(WINAPI *)(HANDLE, DWORD64, ULONG, PDWORD64, PSYMBOL_INFOW);
    using Line = BOOL(WINAPI *)(HANDLE, DWORD64, ULONG, DWORD64, PDWORD, PIMAGEHLP_LINEW64);
    Count count = nullptr;
    Query query = nullptr;
    Symbol symbol = nullptr;
    Line line = nullptr;

    static const InlineApi &Get()
    {
        static const InlineApi api = [] {
            InlineApi found;
            HMODULE dbghelp = GetModuleHandleW(L"dbghelp.dll");
            const auto look = [dbghelp](const char *name) {
                return dbghelp ? reinterpret_cast<void *>(GetProcAddress(dbghelp, name)) : nullptr;
            };
            found.count = reinterpret_cast<Count>(look("SymAddrIncludeInlineTrace"));
            found.query = reinterpret_cast<Query>(look("SymQueryInlineTrace"));
            found.symbol = reinterpret_cast<Symbol>(look("SymFromInlineContextW"));
            found.line = reinterpret_cast<Line>(look("SymGetLineFromInlineContextW"));
            return found;
        }();
        return api;
    }
    bool ok() const { return count && query && symbol && line; }
};

// A symbol's name, and its file and line, at address in one inline context.
bool NameInContext(const InlineApi &api, HANDLE process, DWORD64 address, DWORD context,
                   InlinedCall *call)
{
    alignas(SYMBOL_INFOW) char buffer[sizeof(SYMBOL_INFOW) + 1024 * sizeof(wchar_t)] = {};
    auto *info = reinterpret_cast<SYMBOL_INFOW *>(buffer);
    info->SizeOfStruct = sizeof(SYMBOL_INFOW);
    info->MaxNameLen = 1024;
    DWORD64 displacement = 0;
    if (!api.symbol(process, address, context, &displacement, info))
        return false;
    call->function = QString::fromWCharArray(info->Name, static_cast<int>(info->NameLen));
    IMAGEHLP_LINEW64 line = {};
    line.SizeOfStruct = sizeof(line);
    DWORD lineDisplacement = 0;
    if (api.line(process, address, context, 0, &lineDisplacement, &line)) {
        call->file = QString::fromWCharArray(line.FileName);
        call->line = static_cast<int>(line.LineNumber);
    }
    return true;
}

// The calls inlined at address, innermost first, where DbgHelp knows them; the symbol itself
// then stands at the line of the outermost call.
void AddInlinedCalls(HANDLE process, DWORD64 address, CodeSymbol *symbol)
{
    const InlineApi &api = InlineApi::Get();
    const DWORD count = api.ok() ? api.count(process, address) : 0;
    DWORD context = 0, frameIndex = 0;
    if (count == 0 || !api.query(process, address, 0, address, address, &context, &frameIndex))
        return;
    for (DWORD i = 0; i < count; ++i) {
        InlinedCall call;
        if (NameInContext(api, process, address, context + i, &call))
            symbol->inlined.push_back(call);
    }
    InlinedCall outer;
    if (symbol->inlined.isEmpty() || !NameInContext(api, process, address, context + count, &outer))
        return;
    symbol->file = outer.file;
    symbol->line = outer.line;
    // Where DbgHelp gives an inlined call the outer function's own place (Wine 8 does for all
    // but the innermost), it does not know the call's: no place rather than a wrong one.
    for (int i = 1; i < symbol->inlined.size(); ++i) {
        InlinedCall &call = symbol->inlined[i];
        if (call.file == outer.file && call.line == outer.line) {
            call.file.clear();
            call.line = 0;
        }
    }
}

} // namespace

void WalkThread(HANDLE process, ImageMemory *images, const Target &target,
                const std::vector<ThreadCopy> &all, ThreadCopy *copy, ThreadStack *stack)
{
    if (copy->error != 0) {
        stack->walkEnd = WalkEnd::NoRegisters;
        stack->error = static_cast<int>(copy->error);
        return;
    }
    STACKFRAME64 frame = {};
    frame.AddrPC.Mode = frame.AddrFrame.Mode = frame.AddrStack.Mode = AddrModeFlat;
    frame.AddrPC.Offset = copy->pc;
    frame.AddrFrame.Offset = copy->framePointer;
    frame.AddrStack.Offset = copy->stackPointer;
    void *context = &copy->native;
#if defined(_WIN64)
    if (target.wow64)
        context = &copy->wow64;
#else
    (void)target;
#endif
    Walking walking;
    walking.copy = copy;
    walking.all = &all;
    walking.images = images;
    t_walking = &walking;
    DWORD64 lastStack = 0;
    bool walkerStopped = false;
    for (;;) {
        walking.failed = false;
        if (!StackWalk64(copy->machine, process, copy->thread.get(), &frame, context, ReadMemory,
                         SymFunctionTableAccess64, SymGetModuleBase64, nullptr)) {
            walkerStopped = true;
            break;
        }
        const uint64_t pc = frame.AddrPC.Offset;
        if (pc == 0)
            break;
        // A walk that stops making progress would repeat one frame up to the limit.
        if (!stack->frames.isEmpty() && stack->frames.last().pc == pc &&
            frame.AddrStack.Offset == lastStack) {
            stack->walkEnd = WalkEnd::RepeatedFrame;
            break;
        }
        lastStack = frame.AddrStack.Offset;
        if (!AddFrame(stack, pc, LookupAddress(pc, stack->frames.isEmpty())))
            break;
        copy->frameStacks.push_back(frame.AddrStack.Offset);
    }
    t_walking = nullptr;
    // Settled once the frames have names: a walk that ran off its outermost frame is complete.
    if (stack->walkEnd == WalkEnd::Complete && walking.beyondCopy) {
        stack->walkEnd = WalkEnd::BeyondCopy;
    } else if (stack->walkEnd == WalkEnd::Complete && walkerStopped && walking.failed) {
        stack->walkEnd = WalkEnd::FrameUnreadable;
        stack->walkAddress = walking.failedAt;
    }
}

void SettleWalkEnd(ThreadStack *stack)
{
    static const QStringList kOutermost = {
        QStringLiteral("RtlUserThreadStart"), QStringLiteral("BaseThreadInitThunk"),
        QStringLiteral("start_thread"), QStringLiteral("call_thread_func"),
        QStringLiteral("call_thread_func_wrapper")};
    if ((stack->walkEnd == WalkEnd::BeyondCopy || stack->walkEnd == WalkEnd::FrameUnreadable) &&
        !stack->frames.isEmpty() && kOutermost.contains(stack->frames.last().function)) {
        stack->walkEnd = WalkEnd::Complete;
        stack->walkAddress = 0;
    }
}

namespace {

// Where a function of the module's own DWARF holds the address, the names, the calls inlined
// there and every line come from it, as gdb would give them: DbgHelp reads the same information
// with lines it contradicts (the first of several rows at an address, an inlined call's line
// where its caller's belongs) and names of its own spelling, and on Windows not at all.
bool FromDwarf(ModuleFile *file, uint64_t address, uint64_t base, CodeSymbol *symbol)
{
    DwarfIndex *dwarf = file ? file->dwarf() : nullptr;
    const uint64_t va = file ? file->pe().imageBase() + (address - base) : 0;
    DwarfIndex::Function function;
    if (!dwarf || !dwarf->At(va, &function))
        return false;
    const QVector<InlinedCall> named = symbol->inlined;
    const bool sameCount = named.size() == static_cast<int>(function.inlined.size());
    symbol->inlined.clear();
    for (size_t i = 0; i < function.inlined.size(); ++i) {
        const InlinedAt &at = function.inlined[i];
        QString name = WithoutReturnType(QString::fromStdString(at.function));
        if (name.isEmpty() && sameCount)
            name = named[static_cast<int>(i)].function;
        symbol->inlined.push_back({name, QString::fromStdString(at.place.file), at.place.line});
    }
    symbol->file = QString::fromStdString(function.place.file);
    symbol->line = function.place.line;
    symbol->entry = base + (function.entryPoint - file->pe().imageBase());
    if (function.name.empty())
        return true;
    QString name = WithoutReturnType(QString::fromStdString(function.name));
    // A name made from the scopes has no parameter list (a function with internal linkage has
    // no linkage name): its symbol's has, where it names the same function.
    std::string raw;
    uint32_t start = 0;
    if (function.madeName && file->pe().NameAt(static_cast<uint32_t>(address - base), &raw,
                                               &start) != PeImage::NameSource::None) {
        static const QRegularExpression clone(QStringLiteral(" \\[clone [^]]*\\]"));
        QString own = WithoutReturnType(CleanSymbolName(raw.c_str()));
        own.remove(clone);
        if (own.startsWith(name + QLatin1Char('(')))
            name = own;
    }
    symbol->function = name;
    symbol->nameFrom = NameFrom::DebugInfo;
    symbol->start = base + (function.entry - file->pe().imageBase());
    return true;
}

// A name from the module's exports or symbol table where DbgHelp gives none.
void FromModuleFile(ModuleFile *file, uint64_t address, uint64_t base, CodeSymbol *symbol)
{
    std::string name;
    uint32_t start = 0;
    const PeImage::NameSource source =
        file ? file->pe().NameAt(static_cast<uint32_t>(address - base), &name, &start)
             : PeImage::NameSource::None;
    if (source == PeImage::NameSource::None)
        return;
    symbol->function = CleanSymbolName(name.c_str());
    symbol->start = base + start;
    symbol->nameFrom =
        source == PeImage::NameSource::Exports ? NameFrom::Exports : NameFrom::SymbolTable;
}

} // namespace

CodeSymbol Resolve(SymbolSession &session, DWORD64 address)
{
    HANDLE process = session.process();
    CodeSymbol symbol;
    IMAGEHLP_MODULEW64 module = {};
    module.SizeOfStruct = sizeof(module);
    ModuleFile *file = nullptr;
    if (SymGetModuleInfoW64(process, address, &module)) {
        const QString path = QString::fromWCharArray(module.ImageName);
        symbol.module = QFileInfo(path).fileName();
        symbol.moduleBase = module.BaseOfImage; // offsets from it are what symbol servers take
        file = session.files()->At(module.BaseOfImage, path, process, session.images());
    }

    alignas(SYMBOL_INFOW) char buffer[sizeof(SYMBOL_INFOW) + 1024 * sizeof(wchar_t)] = {};
    auto *info = reinterpret_cast<SYMBOL_INFOW *>(buffer);
    info->SizeOfStruct = sizeof(SYMBOL_INFOW);
    info->MaxNameLen = 1024;
    DWORD64 displacement = 0;
    if (SymFromAddrW(process, address, &displacement, info)) {
        symbol.function = QString::fromWCharArray(info->Name, static_cast<int>(info->NameLen));
        symbol.start = address - displacement;
    }
    AddInlinedCalls(process, address, &symbol);
    if (!FromDwarf(file, address, symbol.moduleBase, &symbol)) {
        IMAGEHLP_LINEW64 line = {};
        line.SizeOfStruct = sizeof(line);
        DWORD lineDisplacement = 0;
        if (symbol.inlined.isEmpty() &&
            SymGetLineFromAddrW64(process, address, &lineDisplacement, &line)) {
            symbol.file = QString::fromWCharArray(line.FileName);
            symbol.line = static_cast<int>(line.LineNumber);
        }
    }
    if (symbol.function.isEmpty())
        FromModuleFile(file, address, symbol.moduleBase, &symbol);
    return symbol;
}

namespace {

// The call records of the modules' own DWARF, in running addresses. A function declared in a
// module is looked for by its symbol in that module only.
class ModuleCalls : public CallRecords {
public:
    explicit ModuleCalls(SymbolSession &session) : session_(session) {}

    bool CallsOf(uint64_t entry, QVector<RecordedCall> *calls) override
    {
        return CallsOf(entry, calls, false);
    }

private:
    // every: the targets of all its calls looked up, not only its tail calls'.
    bool CallsOf(uint64_t entry, QVector<RecordedCall> *calls, bool every)
    {
        uint64_t base = 0;
        ModuleFile *file = FileAt(entry, &base);
        DwarfIndex *dwarf = file ? file->dwarf() : nullptr;
        std::vector<DwarfIndex::Call> recorded;
        const uint64_t imageBase = file ? file->pe().imageBase() : 0;
        if (!dwarf || !dwarf->CallsOf(imageBase + (entry - base), &recorded))
            return false;
        calls->clear();
        for (const DwarfIndex::Call &call : recorded) {
            RecordedCall running;
            running.returnAddress = base + (call.returnAddress - imageBase);
            running.tail = call.tail;
            if (call.target)
                running.target = base + (call.target - imageBase);
            else if (!call.targetName.empty() && (call.tail || every))
                running.target = SymbolAddress(file->pe(), call.targetName, base);
            calls->push_back(running);
        }
        return true;
    }

    bool CallReturningTo(uint64_t entry, uint64_t returnAddress, RecordedCall *call) override
    {
        QVector<RecordedCall> calls;
        if (!CallsOf(entry, &calls, true))
            return false;
        for (const RecordedCall &candidate : calls) {
            if (candidate.returnAddress == returnAddress) {
                *call = candidate;
                return true;
            }
        }
        return false;
    }

    ModuleFile *FileAt(uint64_t address, uint64_t *base)
    {
        IMAGEHLP_MODULEW64 module = {};
        module.SizeOfStruct = sizeof(module);
        if (!SymGetModuleInfoW64(session_.process(), address, &module))
            return nullptr;
        *base = module.BaseOfImage;
        return session_.files()->At(module.BaseOfImage, QString::fromWCharArray(module.ImageName),
                                    session_.process(), session_.images());
    }

    static uint64_t SymbolAddress(const PeImage &pe, const std::string &name, uint64_t base)
    {
        for (const auto *list : {&pe.exports(), &pe.symbols()})
            for (const PeImage::Symbol &symbol : *list)
                if (symbol.name == name)
                    return base + symbol.rva;
        return 0;
    }

    SymbolSession &session_;
};

} // namespace

QVector<uint64_t> FindTailCalls(SymbolSession &session, const CodeSymbol &callee,
                                const CodeSymbol &caller, uint64_t callerPc)
{
    const QPair<uint64_t, uint64_t> key(callerPc, callee.entry);
    auto known = session.tailCalls()->constFind(key);
    if (known != session.tailCalls()->constEnd())
        return *known;
    ModuleCalls records(session);
    const QVector<uint64_t> found = TailCallsBetween(records, caller.entry, callerPc, callee.entry);
    session.tailCalls()->insert(key, found);
    return found;
}

QString ThreadName(HANDLE thread)
{
    using GetDescription = HRESULT(WINAPI *)(HANDLE, PWSTR *);
    static const auto getDescription = reinterpret_cast<GetDescription>(reinterpret_cast<void *>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
    if (!getDescription || !thread)
        return QString();
    PWSTR description = nullptr;
    QString name;
    if (SUCCEEDED(getDescription(thread, &description)) && description)
        name = QString::fromWCharArray(description);
    LocalFree(description);
    return name;
}
