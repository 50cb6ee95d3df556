#pragma once
// libdw over the hold's copies: what one target keeps between captures (its modules with their
// loaded debug information, and the names already looked up), the walk of each copied thread,
// and naming addresses. Loading debug information is the dearest part of a capture, so a
// second look at the same process costs a fraction of the first.
#include "CallSites.h"
#include "DebugFiles.h"
#include "Frames.h"
#include "Maps.h"
#include "NameCache.h"
#include "Scopes.h"
#include "TargetHold.h"

#include <QHash>
#include <elfutils/libdwfl.h>
#include <memory>

struct UnwindState;

// One thread's walk: its frames, each with the address it is to be named by, how the walk
// ended, and the walker's own message where it gave up.
struct WalkResult {
    QVector<StackFrame> frames;
    WalkEnd end = WalkEnd::Complete;
    QString error;
};

class TargetSession {
public:
    // arch: an ELF file of the architecture walked (libdw borrows it from one of the target's
    // modules otherwise, which goes away when the target loads another program).
    TargetSession(DebugFileCache *files, Elf *arch);
    ~TargetSession();
    TargetSession(const TargetSession &) = delete;
    TargetSession &operator=(const TargetSession &) = delete;

    // The target's modules, reported afresh from maps unless its code stayed where it was;
    // those that stayed keep what they loaded. A new process (pid and start time) starts the
    // session anew. memoryPid is a live thread of it, whose memory the walker reads. False with
    // failure filled in when the walker cannot take the process; *mapsError is then the error
    // of reading the map (0 when that was not the cause).
    bool Report(long long pid, unsigned long long startTime, long long memoryPid,
                const MapsSnapshot &maps, CaptureFailure *failure, int *mapsError);
    void Reset();

    // Every copied thread of hold, by id, walked from its registers and stack copy. Stack
    // memory is read from the copies only: no word of maps' writable mappings is read from the
    // live process.
    QHash<long long, WalkResult> Walk(const HoldResult &hold, const MapsSnapshot &maps);
    // Names every frame of capture yet to be named (each address once per session), and settles
    // how each walk ended: running off a thread's outermost frame is not a truncation.
    void Name(StackCapture *capture);

private:
    // What naming needs of a module, and what its entry in the name cache is known by: its
    // build-id, and a stamp of the debug files it would be named from.
    struct ModuleFacts {
        QString name; // the file name shown
        Dwarf_Addr bias = 0;
        QByteArray id, stamp; // id empty: not kept in the cache
    };
    const ModuleFacts &FactsOf(Dwfl_Module *module);
    // Names address from the cache, else from the debug information (and keeps them).
    CodeSymbol Named(uint64_t address);
    QVector<uint64_t> TailCalls(const CodeSymbol &callee, const CodeSymbol &caller,
                                uint64_t callerPc);
    CodeSymbol Resolve(uint64_t address);

    DebugFileCache *files_;
    Elf *arch_;
    long long pid_ = 0;
    unsigned long long startTime_ = 0;
    QByteArray code_; // the code signature of the maps last reported
    Dwfl *dwfl_ = nullptr;
    std::unique_ptr<UnwindState> state_; // the walker's argument for as long as dwfl_ lives
    QHash<uint64_t, CodeSymbol> symbols_;
    DwarfNames names_;
    CallSites calls_;
    QHash<Dwfl_Module *, ModuleFacts> facts_;
    NameCache cache_;
};
