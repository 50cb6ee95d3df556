#pragma once
// What a capture found, as facts: numbers and enums, never sentences. Both back ends fill it in;
// Wording.cpp is the one place that puts it into words, and grouping compares the facts.
#include <QString>
#include <QStringList>
#include <QVector>
#include <cstdint>

// Where a frame's name comes from: the debug information (or the symbol handler), or, where the
// module has none for the address, its exports or its symbol table.
enum class NameFrom { DebugInfo, Exports, SymbolTable };

struct StackFrame {
    uint64_t pc = 0; // as unwound (a return address for caller frames)
    // The address its names were looked up by: a caller's is its call, one byte before the
    // return address; 0 when it is yet to be named.
    uint64_t lookup = 0;
    QString function; // demangled, without version suffix; empty when unknown
    NameFrom nameFrom = NameFrom::DebugInfo;
    uint64_t offset = 0; // from the start of function
    QString module;      // file name of the module, empty when none
    // pc as an address of the module's own file (what addr2line or a symbol server takes), so
    // a frame without a name can still be named later; meaningful where module is set
    uint64_t moduleOffset = 0;
    QString file; // source file where debug information says so
    int line = 0;
    // A call the compiler inlined here: the function is the inlined one, file and line are in
    // it, and the frame after it (at the same pc) is the function it was inlined into, placed
    // at the call.
    bool inlined = false;
    // A function that ended in a jump to the frame before it: it left no return address, and
    // the debug information's record of its calls put it back. pc is that jump's return address.
    bool tailCall = false;
};

// A process or thread named by id, with the name the system gives it (may be empty).
struct ProcessRef {
    long long id = 0;
    QString name;
    bool operator==(const ProcessRef &other) const { return id == other.id && name == other.name; }
};

enum class ThreadState { Unknown, Running, Sleeping, DiskSleep, Stopped };

// Why a thread has no stack at all.
enum class LeftOut {
    No,            // it was captured
    Ended,         // it ended during the capture
    Refused,       // stopping it was refused: ThreadStack::error holds the system's error code
    Busy,          // another tracer held it: ThreadStack::busyWith names that process
    NotStopped,    // it did not stop in time: state, waitChannel and kernelStack say where it was
    Exited,        // the main thread, which has exited while the others live on
    IoUringWorker, // one of io_uring's kernel workers: no user-space stack
    KernelWorker,  // another kernel worker of the process: no user-space stack
    NotReached,    // the hold's deadline came before it was copied: it was let go at once
};

// How the walk of a thread's frames ended.
enum class WalkEnd {
    Complete,        // it reached the outermost frame
    FrameLimit,      // it stopped after kWalkLimit frames
    WalkerError,     // the unwinder gave up: ThreadStack::walkError holds its own message
    RepeatedFrame,   // it stopped making progress
    NoRegisters,     // the registers could not be read: ThreadStack::error holds the code
    BeyondCopy,      // the stack goes on past the part copied during the hold
    FrameUnreadable, // the next frame lies in memory that cannot be read: ThreadStack::walkAddress
};

enum class LockKind { None, Mutex, CriticalSection };

struct ThreadStack {
    long long tid = 0;
    QString name;
    QVector<StackFrame> frames;
    WalkEnd walkEnd = WalkEnd::Complete;
    QString walkError;        // the unwinder's own message, for WalkEnd::WalkerError
    uint64_t walkAddress = 0; // where the next frame was to be read, for WalkEnd::FrameUnreadable
    LeftOut leftOut = LeftOut::No;
    int error = 0;           // the system's error code, for LeftOut::Refused and NoRegisters
    ProcessRef busyWith;     // for LeftOut::Busy
    QStringList kernelStack; // where a thread that did not stop waits in the kernel
    ThreadState state = ThreadState::Unknown;
    QString waitChannel; // where in the system it sleeps, where the system says
    // A lock the thread waits for: its address (0 when unknown) and the thread of the same
    // process holding it (0 when unknown or none; the thread itself when it waits for a lock it
    // holds).
    LockKind lockKind = LockKind::None;
    uint64_t lockAddress = 0;
    long long lockOwner = 0;
    // The owner the lock records when that is no live thread of this process (it ended while
    // holding the lock, or the record is wrong): shown as recorded, never as a holder.
    long long recordedOwner = 0;
    // The system refused the lock (a deadlock through priority-inheritance mutexes, or an owner
    // that died) and the thread now waits for ever where the lock is not to be seen.
    bool lockRefused = false;
    // It waits for a lock of lockKind, but which one and who holds it could not be told.
    bool lockUnknown = false;
    // A stack deeper than kStackFrameLimit shows its innermost frames and its outermost ones:
    // omittedFrames were left out before frames[omittedAt] (-1: none). Until the frames are
    // named, the walked frames left out there are kept by the address each is to be named by.
    int omittedFrames = 0;
    int omittedAt = -1;
    QVector<uint64_t> omittedLookups;
};

// Whether the capture could tell which threads wait for locks. Windows learns it from its
// wait-chain service, which may not answer (Wine has none; an elevated target refuses it): only
// what the stacks themselves show is known then.
enum class LockWaits { Known, ServiceDidNotAnswer };

// Why there is no capture at all.
enum class Failure {
    None,
    NoProcess,         // no process with that id
    Self,              // the viewer itself
    KernelThread,      // no user-space stack
    Zombie,            // exited, not yet collected
    Exited,            // exited (Windows: a handle to a finished process)
    TracingViewer,     // it traces this viewer: stopping it would stop the viewer
    AlreadyTraced,     // another tracer holds it: other names that process
    AnotherCapture,    // another capture holds it right now: other names that process
    OtherUser,         // permission: it belongs to another user (uid)
    PtraceScope,       // permission: the kernel's ptrace restrictions (ptraceScope)
    NotDumpable,       // permission: it has made itself non-dumpable
    NotPermitted,      // permission, for another reason
    AccessDenied,      // Windows: another user, elevated or protected
    CannotOpen,        // Windows: opening it failed with error
    WrongArchitecture, // a 64-bit target for a 32-bit viewer
    ThirtyTwoBit,      // Linux: a 32-bit target, whose stacks this viewer does not walk
    WalkerNotStarted,  // the unwinder could not start: detail holds its message
    WalkerRefused,     // the unwinder could not take the process: detail holds its message
    SymbolsNotLoaded,  // Windows: the symbol handler could not start (error)
    MapUnreadable,     // its memory map could not be read (error)
    StartedAnotherProgram,
    EndedDuringCapture,
    EndedBeforeStop,
    TracerDidNotRun, // error: what kept it from starting, 0 when it was ended at its deadline
    ProcUnreadable,  // what the system says of the process could not be read (error)
};

struct CaptureFailure {
    Failure kind = Failure::None;
    int error = 0;      // the system's error code, where one is the reason
    QString detail;     // a library's own message, where that is the reason
    ProcessRef other;   // the tracer or capture in the way
    long long uid = -1; // Failure::OtherUser
    int ptraceScope = 0;
};

// What a capture had to leave out, or could not vouch for.
enum class NoteKind {
    DebugFileTooLarge,      // path, bytes (inflated), limit
    DebugFileNotInflated,   // path
    DebugMemoryFull,        // path, limit: the inflated copies in use take all there may be
    ModuleSectionsTooLarge, // path, bytes, limit: a module's own sections, left out
    MiniDebugInfoLeftOut,   // path, bytes (as declared; within the limit: it holds more), limit
    ModuleNotTheMappedFile, // path; count 1: named from the process's own copy, 0: not named
    SplitUnitLeftOut,       // path, limit: a split unit that is no regular file within bounds
    StacksUnread,           // count
    CodeChanging,
};

struct CaptureNote {
    NoteKind kind = NoteKind::CodeChanging;
    QString path;
    unsigned long long bytes = 0, limit = 0;
    int count = 0;
    bool operator==(const CaptureNote &other) const
    {
        return kind == other.kind && path == other.path && bytes == other.bytes &&
               limit == other.limit && count == other.count;
    }
};

struct StackCapture {
    bool ok = false;
    CaptureFailure failure; // why ok is false
    QVector<CaptureNote> notes;
    long long pid = 0;
    QString processName;
    double stoppedMs = 0;   // how long the target's threads were held
    int addressDigits = 16; // 8 for a 32-bit target
    LockWaits lockWaits = LockWaits::Known;
    QVector<ThreadStack> threads;
};

// A stack shows at most kStackFrameLimit frames (inlined calls and tail calls counted): a deeper
// one (a runaway recursion) shows its innermost frames and its kOutermostShown outermost ones,
// main and the thread's start among them, with how many were left out between. Walks stop after
// kWalkLimit frames: a corrupt stack can look endless.
constexpr int kStackFrameLimit = 4096;
constexpr int kOutermostShown = 64;
constexpr int kWalkLimit = 262144;
