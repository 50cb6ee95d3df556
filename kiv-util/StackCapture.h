#pragma once
// A snapshot of the stacks of every thread of another process.
#include <QHash>
#include <QString>
#include <QStringList>
#include <QVector>
#include <cstdint>
#include <functional>

struct StackFrame {
    uint64_t pc = 0;     // as unwound (a return address for caller frames)
    QString function;    // demangled, without version suffix; empty when unknown
    uint64_t offset = 0; // from the start of function
    QString module;      // file name of the module, empty when none
    // pc as an address of the module's own file (what addr2line or a symbol server takes), so
    // a frame without a name can still be named later; meaningful where module is set
    uint64_t moduleOffset = 0;
    QString file; // source file where debug information says so
    int line = 0;
};

struct ThreadStack {
    long long tid = 0;
    QString name;
    QVector<StackFrame> frames;
    QString truncated; // why the walk broke off; empty when it reached the end
    bool frameLimitReached = false;
    QString notCaptured;     // why the thread has no stack at all; empty when it was captured
    QStringList kernelStack; // where such a thread waits in the kernel, where readable
    QString state;           // "running", "sleeping", "disk sleep" or "stopped"; empty if unknown
    QString waitChannel;     // where in the system it sleeps, where the system says
    // A lock the thread waits for: its kind ("mutex"), address (0 when unknown) and the thread
    // of the same process holding it (0 when unknown or none).
    QString lockKind;
    uint64_t lockAddress = 0;
    long long lockOwner = 0;
};

struct StackCapture {
    bool ok = false;
    QString error;     // why there is no capture, fit to show
    QStringList notes; // what the capture had to leave out, such as a debug file it skipped
    long long pid = 0;
    QString processName;
    double stoppedMs = 0;   // how long the target's threads were held
    int addressDigits = 16; // 8 for a 32-bit target
    QVector<ThreadStack> threads;
};

// What one code address resolves to.
struct CodeSymbol {
    QString function;
    uint64_t start = 0; // address where function begins
    QString module;
    uint64_t moduleBase = 0; // subtracted from an address to give its moduleOffset
    QString file;
    int line = 0;
};

// Walks stop after this many frames: a corrupt stack can look endless.
constexpr int kStackFrameLimit = 256;

// Appends a frame at pc; at the limit it appends nothing, marks the thread as cut off there and
// returns false.
bool AddFrame(ThreadStack *thread, uint64_t pc);

// Fills in the names of every frame from lookups (per thread, per frame: the address to look
// up), asking resolve only for addresses that cache does not hold yet.
void ResolveFrames(StackCapture *capture, const QVector<QVector<uint64_t>> &lookups,
                   QHash<uint64_t, CodeSymbol> *cache,
                   const std::function<CodeSymbol(uint64_t)> &resolve);

// Platform back end: stops the threads, walks them, lets them go, then resolves names.
StackCapture CaptureStacks(unsigned long pid);

// HTML with all names escaped, so the viewer shows it the same as rich text. A summary line
// comes first, then any deadlock (threads waiting for each other's locks), then the stacks:
// threads with the same frames are shown once, together.
QString FormatCapture(const StackCapture &capture);
