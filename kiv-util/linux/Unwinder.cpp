#include "Unwinder.h"

#include "DebugSearch.h"
#include "ProcFiles.h"
#include "Scopes.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <elfutils/libdwelf.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dwarf.h>
#include <elfutils/libdw.h>
#include <sys/uio.h>

// The walker's view of the held threads: registers and stack copies, with code and read-only
// data read from the live process (they do not change while a thread waits), but never a word
// of writable memory outside the copies: that is where stacks live (a thread's own, or the one
// a signal handler on an alternate stack interrupted), and a running thread has overwritten
// them since. libdw hands it to every callback; it lives as long as the Dwfl and is refilled
// for each capture.
struct UnwindState {
    struct Thread {
        UnwindState *state;
        const HeldThread *copy;
    };
    long long memoryPid = 0;
    std::vector<Thread> threads;             // in the hold's order
    QHash<long long, size_t> byTid;          // index into threads
    std::vector<const HeldThread *> byStack; // by the start of their stack's mapping
    std::vector<AddressRange> writable;      // in address order
    const HeldThread *current = nullptr;
    bool beyondCopy = false; // the current walk wanted a stack word that was not copied
    size_t next = 0;

    void Fill(const HoldResult &hold, std::vector<AddressRange> writableRanges)
    {
        Clear();
        writable = std::move(writableRanges);
        for (const HeldThread &copy : hold.threads) {
            if (!copy.copied())
                continue;
            byTid.insert(copy.tid, threads.size());
            threads.push_back({this, &copy});
            byStack.push_back(&copy);
        }
        std::sort(byStack.begin(), byStack.end(), [](const HeldThread *a, const HeldThread *b) {
            return a->stack.low < b->stack.low;
        });
    }
    void Clear()
    {
        threads.clear();
        byTid.clear();
        byStack.clear();
        writable.clear();
        current = nullptr;
        beyondCopy = false;
        next = 0;
    }
    // The thread whose stack's mapping holds address, if any.
    const HeldThread *StackOwner(Dwarf_Addr address) const
    {
        auto it = std::upper_bound(
            byStack.begin(), byStack.end(), address,
            [](Dwarf_Addr at, const HeldThread *copy) { return at < copy->stack.low; });
        return it != byStack.begin() && (*std::prev(it))->stack.InStack(address) ? *std::prev(it)
                                                                                 : nullptr;
    }
    bool Writable(Dwarf_Addr address) const
    {
        auto it = std::upper_bound(
            writable.begin(), writable.end(), address,
            [](Dwarf_Addr at, const AddressRange &range) { return at < range.end; });
        return it != writable.end() && address >= it->start;
    }
};

namespace {

pid_t NextThread(Dwfl *, void *arg, void **threadArg)
{
    auto *state = static_cast<UnwindState *>(arg);
    if (state->next >= state->threads.size())
        return 0;
    UnwindState::Thread &thread = state->threads[state->next++];
    *threadArg = &thread;
    return static_cast<pid_t>(thread.copy->tid);
}

bool GetThread(Dwfl *, pid_t tid, void *arg, void **threadArg)
{
    auto *state = static_cast<UnwindState *>(arg);
    const auto it = state->byTid.constFind(tid);
    if (it == state->byTid.constEnd())
        return false;
    *threadArg = &state->threads[*it];
    return true;
}

bool MemoryRead(Dwfl *, Dwarf_Addr address, Dwarf_Word *result, void *arg)
{
    auto *state = static_cast<UnwindState *>(arg);
    // This thread's stack, or another's that a pointer leads into: from its copy or not at all.
    const HeldThread *owner = state->current;
    StackCopy::Read read =
        owner ? owner->stack.ReadAt(address, result, sizeof(*result)) : StackCopy::Read::NotStack;
    if (read == StackCopy::Read::NotStack && (owner = state->StackOwner(address)))
        read = owner->stack.ReadAt(address, result, sizeof(*result));
    if (read == StackCopy::Read::Copied)
        return true;
    // Past the copy, or writable memory that no copy holds (the stack a handler on an alternate
    // stack interrupted): the walk ends at the copy's edge.
    if (read == StackCopy::Read::BeyondCopy || state->Writable(address)) {
        state->beyondCopy = state->beyondCopy || owner == state->current || !owner;
        return false;
    }
    iovec local = {result, sizeof(Dwarf_Word)};
    iovec remote = {reinterpret_cast<void *>(address), sizeof(Dwarf_Word)};
    return process_vm_readv(static_cast<pid_t>(state->memoryPid), &local, 1, &remote, 1, 0) ==
           static_cast<ssize_t>(sizeof(Dwarf_Word));
}

bool SetInitialRegisters(Dwfl_Thread *thread, void *threadArg)
{
    const auto *walked = static_cast<const UnwindState::Thread *>(threadArg);
    walked->state->current = walked->copy;
    return arch::SetDwarfRegisters(thread, walked->copy->regs);
}

const Dwfl_Thread_Callbacks kCopiedThreads = {NextThread,          GetThread, MemoryRead,
                                              SetInitialRegisters, nullptr,   nullptr};

struct WalkContext {
    ThreadStack *thread;
    QString error;
};

int OnFrame(Dwfl_Frame *state, void *arg)
{
    auto *ctx = static_cast<WalkContext *>(arg);
    Dwarf_Addr pc = 0;
    bool activation = false;
    if (!dwfl_frame_pc(state, &pc, &activation)) {
        ctx->error = QString::fromUtf8(dwfl_errmsg(-1));
        return DWARF_CB_ABORT;
    }
    return AddFrame(ctx->thread, pc, LookupAddress(pc, activation)) ? DWARF_CB_OK : DWARF_CB_ABORT;
}

// Where every thread begins: nothing that follows on its stack was ever a caller (a thread
// caught in the first instructions of its life has only what the new stack held).
bool IsEntryPoint(const QString &function)
{
    static const QSet<QString> kEntries = {
        QStringLiteral("_start"),  QStringLiteral("clone"),    QStringLiteral("clone3"),
        QStringLiteral("__clone"), QStringLiteral("__clone3"),
    };
    return kEntries.contains(function);
}

// Where a walk ends by design: an entry point, or the C library function that called main or
// a thread's start routine.
bool IsOutermost(const QString &function)
{
    static const QSet<QString> kStarts = {
        QStringLiteral("__libc_start_main"),
        QStringLiteral("__libc_start_call_main"),
        QStringLiteral("start_thread"),
    };
    return IsEntryPoint(function) || kStarts.contains(function);
}

// Reports every module of maps, and the vDSO (which only the process's memory holds).
int ReportFromMaps(Dwfl *dwfl, long long memoryPid, const MapsSnapshot &maps)
{
    FILE *file = fmemopen(const_cast<char *>(maps.text.constData()),
                          static_cast<size_t>(maps.text.size()), "r");
    if (!file)
        return errno;
    const int result = dwfl_linux_proc_maps_report(dwfl, file);
    std::fclose(file);
    if (result != 0)
        return result;
    if (const MapEntry *vdso = maps.Find("[vdso]")) {
        // The name libdwfl's own finder reads from the process's memory.
        const QByteArray name = "[vdso: " + QByteArray::number(memoryPid) + ']';
        if (!dwfl_report_module(dwfl, name.constData(), vdso->start, vdso->end))
            return -1;
    }
    return 0;
}

} // namespace

TargetSession::TargetSession(DebugFileCache *files, Elf *arch)
    : files_(files), arch_(arch), state_(std::make_unique<UnwindState>())
{
}

TargetSession::~TargetSession()
{
    Reset();
}

void TargetSession::Reset()
{
    if (dwfl_)
        dwfl_end(dwfl_);
    dwfl_ = nullptr;
    files_->SessionEnded();
    state_ = std::make_unique<UnwindState>();
    symbols_.clear();
    names_ = DwarfNames();
    calls_ = CallSites();
    facts_.clear();
    code_.clear();
    pid_ = 0;
    startTime_ = 0;
}

bool TargetSession::Report(long long pid, unsigned long long startTime, long long memoryPid,
                           const MapsSnapshot &maps, CaptureFailure *failure, int *mapsError)
{
    *mapsError = 0;
    if (pid_ != pid || startTime_ != startTime)
        Reset();
    if (!dwfl_) {
        dwfl_ = dwfl_begin(DebugFileCache::Callbacks());
        pid_ = pid;
        startTime_ = startTime;
    }
    if (!dwfl_) {
        failure->kind = Failure::WalkerNotStarted;
        failure->detail = QString::fromUtf8(dwfl_errmsg(-1));
        Reset();
        return false;
    }
    const QByteArray code = maps.CodeSignature();
    if (code == code_ && !code.isEmpty())
        return true; // the same modules where they were: nothing to report again
    // What is known by Dwarf handle goes with the modules that may have been let go.
    symbols_.clear();
    names_ = DwarfNames();
    calls_ = CallSites();
    facts_.clear();
    code_ = code;
    files_->SetModuleView(memoryPid, maps);
    dwfl_report_begin(dwfl_);
    const int reported = maps.text.isEmpty() ? 0 : ReportFromMaps(dwfl_, memoryPid, maps);
    dwfl_report_end(dwfl_, nullptr, nullptr);
    if (reported != 0) {
        *mapsError = reported;
        Reset();
        return false;
    }
    if (dwfl_pid(dwfl_) <= 0) {
        state_->memoryPid = memoryPid;
        if (!dwfl_attach_state(dwfl_, arch_, static_cast<pid_t>(memoryPid), &kCopiedThreads,
                               state_.get())) {
            failure->kind = Failure::WalkerRefused;
            failure->detail = QString::fromUtf8(dwfl_errmsg(-1));
            Reset();
            return false;
        }
    }
    return true;
}

QHash<long long, WalkResult> TargetSession::Walk(const HoldResult &hold, const MapsSnapshot &maps)
{
    QHash<long long, WalkResult> walks;
    state_->Fill(hold, maps.WritableRanges());
    for (const HeldThread &copy : hold.threads) {
        if (!copy.copied())
            continue;
        ThreadStack walked;
        WalkContext ctx{&walked, {}};
        state_->beyondCopy = false;
        const int rc = dwfl_getthread_frames(dwfl_, static_cast<pid_t>(copy.tid), OnFrame, &ctx);
        if (rc != 0 && ctx.error.isEmpty() && walked.walkEnd != WalkEnd::FrameLimit)
            ctx.error = QString::fromUtf8(dwfl_errmsg(-1));
        WalkResult &walk = walks[copy.tid];
        walk.frames = walked.frames;
        walk.end = walked.walkEnd;
        // A walk that wanted a word past the copy ended at its edge, whether libdw said so with
        // an error or took the frame before for the outermost one.
        if (walk.end != WalkEnd::FrameLimit && state_->beyondCopy) {
            walk.end = WalkEnd::BeyondCopy;
        } else if (walk.end != WalkEnd::FrameLimit && !ctx.error.isEmpty()) {
            walk.end = WalkEnd::WalkerError;
            walk.error = ctx.error;
        }
    }
    state_->Clear();
    return walks;
}

namespace {

// The prefix through which the viewer reads the target's files.
const QRegularExpression kTargetRoot(QStringLiteral("^/proc/\\d+/root(?=/)"));

} // namespace

void TargetSession::Name(StackCapture *capture)
{
    // Running off the outermost frame is how every walk ends, not a truncation: settled here,
    // once the frames have their names.
    ResolveFrames(
        capture, &symbols_, [this](uint64_t address) { return Named(address); },
        [this](const CodeSymbol &callee, const CodeSymbol &caller, uint64_t callerPc) {
            return TailCalls(callee, caller, callerPc);
        });
    // A module whose debug files were found wanting is looked at afresh by the next viewer.
    for (auto it = facts_.constBegin(); it != facts_.constEnd(); ++it) {
        // (As the target sees them, as its stamp's are: checked in this viewer's root.)
        QByteArrayList files;
        for (const QByteArray &path : files_->FilesUsedBy(it.key()))
            files << QString::fromUtf8(path).remove(kTargetRoot).toUtf8();
        cache_.NoteFiles(it->id, files);
        if (!files_->Notes().isEmpty())
            cache_.Forget(it->id);
    }
    cache_.Save();
    for (ThreadStack &thread : capture->threads) {
        for (int i = 0; i + 1 < thread.frames.size(); ++i) {
            if (!thread.frames[i].inlined && IsEntryPoint(thread.frames[i].function)) {
                thread.frames.resize(i + 1);
                if (thread.omittedAt > i) { // the gap was in what followed the thread's start
                    thread.omittedAt = -1;
                    thread.omittedFrames = 0;
                    thread.omittedLookups.clear();
                }
                break;
            }
        }
        if ((thread.walkEnd == WalkEnd::WalkerError || thread.walkEnd == WalkEnd::BeyondCopy) &&
            !thread.frames.isEmpty() && IsOutermost(thread.frames.last().function)) {
            thread.walkEnd = WalkEnd::Complete;
            thread.walkError.clear();
        }
    }
}

const TargetSession::ModuleFacts &TargetSession::FactsOf(Dwfl_Module *module)
{
    auto it = facts_.find(module);
    if (it != facts_.end())
        return *it;
    ModuleFacts facts;
    Dwarf_Addr bias = 0;
    Elf *elf = dwfl_module_getelf(module, &bias);
    Dwarf_Addr low = 0;
    const char *mainFile = nullptr;
    const char *name =
        dwfl_module_info(module, nullptr, &low, nullptr, nullptr, nullptr, &mainFile, nullptr);
    facts.bias = elf ? bias : low;
    if (name)
        facts.name = QFileInfo(QString::fromUtf8(name)).fileName();
    const unsigned char *bits = nullptr;
    GElf_Addr at = 0;
    const int length = elf ? dwfl_module_build_id(module, &bits, &at) : 0;
    if (length > 0 && name && mainFile && cache_.enabled()) {
        facts.id = QByteArray(reinterpret_cast<const char *>(bits), length);
        // What the module would be named from: its own file or the process's copy of it, and
        // every debug file there is to find for it, as they are now.
        // Paths as the target sees them: another process of the same program shares the stamp.
        const auto seen = [](const QByteArray &path) {
            return QString::fromUtf8(path).remove(kTargetRoot).toUtf8();
        };
        const auto state = [&seen](const QByteArray &path) {
            struct stat st;
            return stat(path.constData(), &st) != 0
                       ? QByteArray()
                       : seen(path) + ' ' + QByteArray::number(qlonglong(st.st_size)) + ' ' +
                             QByteArray::number(qlonglong(st.st_ino)) + ' ' +
                             QByteArray::number(qlonglong(st.st_mtim.tv_sec)) + '.' +
                             QByteArray::number(qlonglong(st.st_mtim.tv_nsec));
        };
        facts.stamp = mainFile[0] == '[' ? QByteArray("memory") : "file " + state(mainFile);
        GElf_Word crc = 0;
        const char *link = dwelf_elf_gnu_debuglink(elf, &crc);
        for (const QByteArray &path :
             DebugFileCandidates(facts.id, name, mainFile, link ? QByteArray(link) : QByteArray()))
            if (const QByteArray found = state(path); !found.isEmpty())
                facts.stamp += '\n' + found;
    }
    return *facts_.insert(module, facts);
}

CodeSymbol TargetSession::Named(uint64_t address)
{
    Dwfl_Module *module = dwfl_addrmodule(dwfl_, address);
    if (!module)
        return Resolve(address);
    const ModuleFacts facts = FactsOf(module);
    CodeSymbol symbol;
    if (cache_.FindName(facts.id, facts.stamp, address - facts.bias, &symbol)) {
        symbol.module = facts.name;
        symbol.moduleBase = facts.bias;
        symbol.start = symbol.function.isEmpty() ? 0 : symbol.start + facts.bias;
        symbol.entry = symbol.entry ? symbol.entry + facts.bias : 0;
        return symbol;
    }
    symbol = Resolve(address);
    CodeSymbol kept = symbol;
    kept.start = symbol.function.isEmpty() ? 0 : symbol.start - facts.bias;
    kept.entry = symbol.entry ? symbol.entry - facts.bias : 0;
    cache_.KeepName(facts.id, facts.stamp, address - facts.bias, kept);
    return symbol;
}

QVector<uint64_t> TargetSession::TailCalls(const CodeSymbol &callee, const CodeSymbol &caller,
                                           uint64_t callerPc)
{
    if (!callee.entry || !caller.entry)
        return {}; // no debug information to tell
    Dwfl_Module *callerModule = dwfl_addrmodule(dwfl_, callerPc - 1);
    Dwfl_Module *calleeModule = dwfl_addrmodule(dwfl_, callee.entry);
    if (!callerModule || !calleeModule)
        return calls_.Between(dwfl_, caller.entry, callerPc, callee.entry);
    const ModuleFacts from = FactsOf(callerModule), to = FactsOf(calleeModule);
    QVector<uint64_t> chain;
    if (cache_.FindTailCalls(from.id, from.stamp, callerPc - from.bias, to.id,
                             callee.entry - to.bias, &chain)) {
        for (uint64_t &at : chain)
            at += to.bias;
        return chain;
    }
    chain = calls_.Between(dwfl_, caller.entry, callerPc, callee.entry);
    // Kept where every function of the chain is the callee's module's.
    QVector<uint64_t> offsets;
    for (uint64_t at : chain) {
        if (dwfl_addrmodule(dwfl_, at - 1) != calleeModule)
            return chain;
        offsets << at - to.bias;
    }
    cache_.KeepTailCalls(from.id, from.stamp, callerPc - from.bias, to.id, callee.entry - to.bias,
                         offsets);
    return chain;
}

CodeSymbol TargetSession::Resolve(uint64_t address)
{
    CodeSymbol symbol;
    Dwfl_Module *module = dwfl_addrmodule(dwfl_, address);
    if (!module)
        return symbol;
    Dwarf_Addr low = 0;
    const char *moduleName =
        dwfl_module_info(module, nullptr, &low, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (moduleName)
        symbol.module = QFileInfo(QString::fromUtf8(moduleName)).fileName();
    // Addresses in the module's file are the running ones less the load bias.
    Dwarf_Addr bias = 0;
    symbol.moduleBase = dwfl_module_getelf(module, &bias) ? bias : low;
    GElf_Off offset = 0;
    GElf_Sym elfSymbol;
    const char *name =
        dwfl_module_addrinfo(module, address, &offset, &elfSymbol, nullptr, nullptr, nullptr);
    if (name) {
        symbol.function = CleanSymbolName(name);
        symbol.start = address - offset;
    }
    AddLine(module, address, &symbol);
    FunctionDie function;
    AddScopes(module, address, &symbol, &names_, &function);
    if (function.module && symbol.entry)
        calls_.Know(symbol.entry, function);
    return symbol;
}
