#pragma once
// DbgHelp over the copies: each thread's frames walked from its copied registers and stack,
// and addresses named. DbgHelp is single-threaded: callers hold the capture lock.
#include "Frames.h"
#include "ImageMemory.h"
#include "Suspend.h"

// One thread's frames, from its copy, each with the address it is to be named by. process: the
// symbol session's handle. Stack memory comes from the copies in all only; the modules' code and
// unwind tables from images.
void WalkThread(HANDLE process, ImageMemory *images, const Target &target,
                const std::vector<ThreadCopy> &all, ThreadCopy *copy, ThreadStack *stack);
// Once the frames have names: a walk that ended where threads begin is complete, whatever the
// walker last tried to read.
void SettleWalkEnd(ThreadStack *stack);

class SymbolSession;
// What stands at a code address: DbgHelp's names, with the lines and inlined calls of the
// module's own DWARF where it has some, and names from its exports or symbol table where
// DbgHelp gives none.
CodeSymbol Resolve(SymbolSession &session, DWORD64 address);
// The tail calls between a caller's call, returning to callerPc, and callee's function, as the
// call records of the modules' own DWARF prove them (TailCallsBetween); each pair looked at once
// a session.
QVector<uint64_t> FindTailCalls(SymbolSession &session, const CodeSymbol &callee,
                                const CodeSymbol &caller, uint64_t callerPc);

// Windows 10 1607 and later name threads; older systems simply show none.
QString ThreadName(HANDLE thread);
