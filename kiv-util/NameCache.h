#pragma once
// What captures learn of a module, kept on disk for the next viewer: the names at the addresses
// looked up (function, place, inlined calls) and the tail calls found between pairs of frames,
// one file a module, named by its build-id. A viewer's first capture of a program seen before
// then reads no debug information at all.
//
// An entry is used only for the module whose build-id it carries and while the debug
// information it was made from is the same (stamp: what the back end says of the files it would
// read, their sizes and times). Files are written whole to a temporary file and renamed into
// place, so two viewers at once, a full disk or a viewer killed mid-write leave the old entry or
// the new one, never a torn one; one that does not read back whole (length, checksum, format) is
// ignored. The folder is kept within kNameCacheBytes, the least recently used entries removed
// first. NORVA_PSTACK_CACHE=off turns it off; removing the folder at any time is safe.
#include "Frames.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QHash>
#include <QPair>
#include <QString>
#include <QVector>

constexpr qint64 kNameCacheBytes = 32ll << 20;

class NameCache {
public:
    // Where entries live (under the user's cache folder: $XDG_CACHE_HOME, %LOCALAPPDATA%), or
    // empty when the cache is off.
    static QString DefaultFolder();
    explicit NameCache(const QString &folder = DefaultFolder());

    bool enabled() const { return !folder_.isEmpty(); }

    // The names kept for the module (id: its build-id) at offset (an address of the module's own
    // file): start and entry as offsets too, module fields empty.
    bool FindName(const QByteArray &id, const QByteArray &stamp, uint64_t offset,
                  CodeSymbol *symbol);
    void KeepName(const QByteArray &id, const QByteArray &stamp, uint64_t offset,
                  const CodeSymbol &symbol);
    // The tail calls found between a call of the module returning to callerReturn and the
    // function entered at calleeEntry of the module calleeId, as offsets in that module.
    bool FindTailCalls(const QByteArray &id, const QByteArray &stamp, uint64_t callerReturn,
                       const QByteArray &calleeId, uint64_t calleeEntry, QVector<uint64_t> *chain);
    void KeepTailCalls(const QByteArray &id, const QByteArray &stamp, uint64_t callerReturn,
                       const QByteArray &calleeId, uint64_t calleeEntry,
                       const QVector<uint64_t> &chain);
    // Files the module's names depend on beyond those its stamp says (read when first needed,
    // such as split units): the entry holds while each is as it was, there or not.
    void NoteFiles(const QByteArray &id, const QByteArrayList &paths);
    // What was learnt of the module this session is not to be written (its debug information
    // was found wanting: the next viewer should look again).
    void Forget(const QByteArray &id);

    // Writes every module that learnt something, then keeps the folder within its bound. False
    // when an entry could not be written (it is left as it was).
    bool Save();

    // The file of a module's entry.
    QString PathOf(const QByteArray &id) const;

private:
    struct TailKey {
        uint64_t callerReturn;
        QByteArray calleeId;
        uint64_t calleeEntry;
        bool operator==(const TailKey &o) const
        {
            return callerReturn == o.callerReturn && calleeEntry == o.calleeEntry &&
                   calleeId == o.calleeId;
        }
    };
    friend uint qHash(const TailKey &key, uint seed)
    {
        return qHash(key.callerReturn, seed) ^ qHash(key.calleeEntry, seed) ^
               qHash(key.calleeId, seed);
    }
    struct Entry {
        QByteArray stamp;
        QHash<QByteArray, QByteArray> files; // path: its state when the names were made
        bool dirty = false;
        bool forgotten = false;
        QHash<uint64_t, CodeSymbol> names;
        QHash<TailKey, QVector<uint64_t>> tails;
    };
    Entry &EntryOf(const QByteArray &id, const QByteArray &stamp);
    bool Load(const QByteArray &id, Entry *entry) const;
    bool Write(const QByteArray &id, const Entry &entry) const;
    void Trim() const;

    QString folder_;
    QHash<QByteArray, Entry> entries_;
};
