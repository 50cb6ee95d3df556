#pragma once
// DbgHelp's view of one target, kept from one capture to the next while the viewer looks at the
// same process: modules are loaded with deferred loads (a module's symbols are read the first
// time a walk or a name needs them, only for modules on the stacks), and a second capture
// finds them read already. Its module list is brought up to date for each capture; another
// process, or the viewer's end, releases it. DbgHelp is single-threaded: callers hold the
// capture lock.
#include "Frames.h"
#include "Handle.h"
#include "ImageMemory.h"
#include "ModuleFiles.h"

#include <QHash>
#include <QPair>
#include <QString>

class SymbolSession {
public:
    SymbolSession() = default;
    ~SymbolSession() { Close(); }
    SymbolSession(const SymbolSession &) = delete;
    SymbolSession &operator=(const SymbolSession &) = delete;

    // Ready for target's process: the same process (id and start time) as before keeps what was
    // loaded; false with *error when DbgHelp cannot start.
    bool Open(const Target &target, DWORD *error);
    void Close();
    // The handle DbgHelp knows the process by: every DbgHelp call of this session uses it.
    HANDLE process() const { return process_.get(); }
    // Names already looked up in this session, by address; forgotten when modules change.
    QHash<uint64_t, CodeSymbol> *names() { return &names_; }
    // The modules' read-only memory read so far; forgotten when modules change.
    ImageMemory *images() { return &images_; }
    // The modules' files, mapped as names and lines need them; forgotten when modules change.
    ModuleFiles *files() { return &files_; }
    // The tail calls found between a caller's call (by its return address) and a function (by
    // its entry); forgotten when modules change.
    QHash<QPair<uint64_t, uint64_t>, QVector<uint64_t>> *tailCalls() { return &tailCalls_; }

private:
    struct Module {
        QString path;
        DWORD size = 0;
    };
    void Refresh();

    DWORD pid_ = 0;
    unsigned long long started_ = 0;
    UniqueHandle process_;
    bool wow64_ = false;
    QHash<unsigned long long, Module> modules_; // by base address
    QHash<uint64_t, CodeSymbol> names_;
    QHash<QPair<uint64_t, uint64_t>, QVector<uint64_t>> tailCalls_;
    ImageMemory images_;
    ModuleFiles files_;
};
