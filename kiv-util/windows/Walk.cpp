#include "Walk.h"

#include <QFileInfo>
#include <cstring>

#include <dbghelp.h>

namespace {

// The copy being walked on this thread: DbgHelp's memory callback gets no argument of ours.
thread_local const ThreadCopy *t_walking = nullptr;

// DbgHelp's memory reads during a walk: the stack from the copy, anything else (code, unwind
// data) from the process, where it does not change while a thread waits.
BOOL CALLBACK ReadMemory(HANDLE process, DWORD64 address, PVOID buffer, DWORD size, LPDWORD read)
{
    const ThreadCopy *copy = t_walking;
    if (copy && address >= copy->stackStart &&
        address + size <= copy->stackStart + copy->stack.size()) {
        std::memcpy(buffer, copy->stack.data() + (address - copy->stackStart), size);
        if (read)
            *read = size;
        return TRUE;
    }
    SIZE_T got = 0;
    const BOOL ok =
        ReadProcessMemory(process, reinterpret_cast<LPCVOID>(address), buffer, size, &got);
    if (read)
        *read = static_cast<DWORD>(got);
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

class Walking {
public:
    explicit Walking(const ThreadCopy *copy) { t_walking = copy; }
    ~Walking() { t_walking = nullptr; }
};

} // namespace

void WalkThread(const Target &target, ThreadCopy *copy, ThreadStack *stack)
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
#endif
    Walking walking(copy);
    DWORD64 lastStack = 0;
    while (StackWalk64(copy->machine, target.process.get(), copy->thread.get(), &frame, context,
                       ReadMemory, SymFunctionTableAccess64, SymGetModuleBase64, nullptr)) {
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
    }
}

CodeSymbol Resolve(HANDLE process, DWORD64 address)
{
    CodeSymbol symbol;
    IMAGEHLP_MODULEW64 module = {};
    module.SizeOfStruct = sizeof(module);
    if (SymGetModuleInfoW64(process, address, &module)) {
        symbol.module = QFileInfo(QString::fromWCharArray(module.ImageName)).fileName();
        symbol.moduleBase = module.BaseOfImage; // offsets from it are what symbol servers take
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
    IMAGEHLP_LINEW64 line = {};
    line.SizeOfStruct = sizeof(line);
    DWORD lineDisplacement = 0;
    if (SymGetLineFromAddrW64(process, address, &lineDisplacement, &line)) {
        symbol.file = QString::fromWCharArray(line.FileName);
        symbol.line = static_cast<int>(line.LineNumber);
    }
    AddInlinedCalls(process, address, &symbol);
    return symbol;
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
