#pragma once
// The files libdw reads for a target's modules, and the debug files kept between captures:
// libdw's callbacks, and every file they hand it.
//
// A module file is opened as the target maps it (through /proc/PID/map_files, or by its path
// in the target's root) and used only when it is that very file (ModuleIdentity). A debug file
// is found as for any process (DebugSearch); an inflated copy of the sections that unwinding and
// naming need is kept in memory for every later target that finds that very same file, within a
// bound per file and in all (InflatePlan). A file libdw would open by itself, a split unit, is
// checked first at every path libdw tries. Only files on this machine are read: none of
// libdwfl's standard finders, which may ask a debuginfod server, is used.
#include "CaptureModel.h"
#include "Maps.h"
#include "ModuleIdentity.h"

#include <QHash>
#include <elfutils/libdw.h>
#include <elfutils/libdwfl.h>
#include <sys/types.h>
#include <vector>

class DebugFileCache {
public:
    DebugFileCache() = default;
    ~DebugFileCache();
    DebugFileCache(const DebugFileCache &) = delete;
    DebugFileCache &operator=(const DebugFileCache &) = delete;

    // libdw's callbacks for a Dwfl whose modules this cache finds the files of. libdw gives
    // them no argument of ours: they reach the cache in use on the calling thread (Use).
    static const Dwfl_Callbacks *Callbacks();

    // While one lives, libdw's calls on this thread find their files through cache.
    class Use {
    public:
        explicit Use(DebugFileCache *cache);
        ~Use();
        Use(const Use &) = delete;
        Use &operator=(const Use &) = delete;

    private:
        DebugFileCache *previous_;
    };

    // The target whose modules are reported next, and its map.
    void SetModuleView(long long pid, const MapsSnapshot &maps);
    // What the live session had to leave out (a debug file skipped, and why): libdw asks for
    // a file once per session, so every capture in it says so again.
    QVector<CaptureNote> Notes() const;
    // Bytes of memory the kept copies take.
    unsigned long long Bytes() const { return keptBytes_; }
    // The Dwfl the files went to has ended: its files are closed.
    void SessionEnded();
    // Descriptors handed to the live session.
    int SessionFiles() const { return sessionFiles_; }
    // Beside a module's own file and its debug file, the paths its names may depend on (the
    // alt file of a dwz'd debug file, split units), there or not.
    QByteArrayList FilesUsedBy(Dwfl_Module *module) const { return used_.value(module); }

private:
    struct Kept {
        QByteArray buildId;
        dev_t dev = 0;
        ino_t inode = 0;
        off_t size = 0;
        long long mtime = 0;
        int fd = -1;                  // the inflated copy, or the file itself
        unsigned long long bytes = 0; // memory the copy takes
        unsigned long long lastUse = 0;
        unsigned long long session = 0; // the last session that used it
    };
    // The folders libdw derives from the descriptors it got for a module (realpath of the
    // descriptor, as libdw takes it): where it looks for split units. Empty: none.
    struct Folders {
        QByteArray main, debug;
    };
    int FindElf(Dwfl_Module *module, void **userdata, const char *moduleName, Dwarf_Addr base,
                char **fileName, Elf **elf);
    // The process's own copy of a module whose file cannot be confirmed, said in a note.
    int FromMemory(const ModuleView &view, Dwfl_Module *module, void **userdata,
                   const char *moduleName, Dwarf_Addr base, char **fileName, Elf **elf);
    // fd, or a copy of it without the compressed sections it must not inflate.
    int WithoutBombs(int fd, const QString &path);
    void Note(NoteKind kind, const QString &path, unsigned long long bytes,
              unsigned long long limit);
    int FindDebuginfo(Dwfl_Module *module, const char *moduleName, const char *fileName,
                      const char *debuglink, GElf_Word crc, char **debuginfoFileName);
    int FindFile(const QByteArrayList &candidates, const QByteArray &buildId, GElf_Word crc,
                 char **debuginfoFileName);
    int Keep(int fd, const struct stat &st, const QByteArray &buildId,
             unsigned long long neededBytes, bool compressed, const QString &path);
    // Room for bytes more, and for one more file; false when the live session holds too much.
    bool MakeRoom(unsigned long long bytes);
    bool SplitUnit(Dwfl_Module *module, Dwarf_Die *skeleton, Dwarf_Die *split);

    long long viewPid_ = 0;
    QHash<uint64_t, ModuleView> views_; // by the address where each module begins
    QHash<Dwfl_Module *, Folders> folders_;
    QHash<Dwfl_Module *, QByteArrayList> used_;
    QVector<CaptureNote> notes_;
    std::vector<Kept> kept_;
    unsigned long long keptBytes_ = 0, uses_ = 0, session_ = 0;
    int sessionFiles_ = 0;

    friend struct DebugFileCallbacks;
    friend bool FindSplitUnit(Dwfl_Module *, Dwarf_Die *, Dwarf_Die *);
};

// The split unit of a skeleton unit of module, which libdw opens by itself: asked for only when
// every path libdw tries is a debug file within the bounds (or nothing), with any wait of that
// open interrupted. False when there is none to be had, with a note where one was refused.
bool FindSplitUnit(Dwfl_Module *module, Dwarf_Die *skeleton, Dwarf_Die *split);

// Bytes the capture library's kept debug-file copies take now.
unsigned long long DebugFileCacheBytes();
