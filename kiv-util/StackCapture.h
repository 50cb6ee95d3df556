#pragma once
// A snapshot of the stacks of every thread of another process.
#include <QString>
#include <QVector>
#include <cstdint>

struct StackFrame {
    uint64_t pc = 0;          // as unwound (a return address for caller frames)
    QString function;         // demangled, without version suffix; empty when unknown
    uint64_t offset = 0;      // from the start of function
    QString module;           // file name of the module, empty when none
    QString file;             // source file where debug information says so
    int line = 0;
};

struct ThreadStack {
    long long tid = 0;
    QString name;
    QVector<StackFrame> frames;
    QString truncated;        // why the walk broke off; empty when it reached the end
};

struct StackCapture {
    bool ok = false;
    QString error;            // why there is no capture, fit to show
    long long pid = 0;
    QString processName;
    double stoppedMs = 0;     // how long the target's threads were held
    QVector<ThreadStack> threads;
};

// Platform back end: stops the threads, walks them, lets them go, then resolves names.
StackCapture CaptureStacks(unsigned long pid);

// HTML with all names escaped, so the viewer shows it the same as rich text.
QString FormatCapture(const StackCapture &capture);
