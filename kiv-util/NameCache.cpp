#include "NameCache.h"

#include <QCoreApplication>
#include <QDataStream>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <algorithm>
#include <cstdio>
#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

// The layout of an entry and the rules its names were made by: another viewer's entries of
// another format are read as none.
constexpr quint32 kFormat = 2;
const char kMagic[8] = {'N', 'V', 'P', 'S', 'N', 'A', 'M', 'E'};
constexpr qint64 kEntryBytes = 8ll << 20; // one module's entry, at most

uint64_t Fnv1a(const QByteArray &bytes)
{
    uint64_t hash = 1469598103934665603ull;
    for (const char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

void Put(QDataStream &out, const CodeSymbol &s)
{
    out << s.function << quint8(s.nameFrom) << quint64(s.start) << quint64(s.entry) << s.file
        << qint32(s.line) << quint32(s.inlined.size());
    for (const InlinedCall &call : s.inlined)
        out << call.function << call.file << qint32(call.line);
}

bool Get(QDataStream &in, CodeSymbol *s)
{
    quint8 from = 0;
    quint64 start = 0, entry = 0;
    qint32 line = 0;
    quint32 inlined = 0;
    in >> s->function >> from >> start >> entry >> s->file >> line >> inlined;
    if (in.status() != QDataStream::Ok || from > quint8(NameFrom::SymbolTable) || inlined > 4096)
        return false;
    s->nameFrom = static_cast<NameFrom>(from);
    s->start = start;
    s->entry = entry;
    s->line = line;
    for (quint32 i = 0; i < inlined && in.status() == QDataStream::Ok; ++i) {
        InlinedCall call;
        qint32 callLine = 0;
        in >> call.function >> call.file >> callLine;
        call.line = callLine;
        s->inlined.push_back(call);
    }
    return in.status() == QDataStream::Ok;
}

// A file as the entry remembers it: its size and time, or that it is not there.
QByteArray FileState(const QByteArray &path)
{
    const QFileInfo info(QFile::decodeName(path));
    return info.exists() ? QByteArray::number(info.size()) + ' ' +
                               QByteArray::number(info.lastModified().toMSecsSinceEpoch())
                         : QByteArray("-");
}

// Puts the written file in the entry's place, replacing what was there in one step.
bool RenameOver(const QString &from, const QString &to)
{
#if defined(_WIN32)
    // Another viewer reading the entry holds it open without leave to delete: wait a little.
    const QString source = QDir::toNativeSeparators(from), target = QDir::toNativeSeparators(to);
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (MoveFileExW(reinterpret_cast<const wchar_t *>(source.utf16()),
                        reinterpret_cast<const wchar_t *>(target.utf16()),
                        MOVEFILE_REPLACE_EXISTING))
            return true;
        const DWORD error = GetLastError();
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED)
            return false;
        Sleep(5);
    }
    return false;
#else
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
#endif
}

} // namespace

QString NameCache::DefaultFolder()
{
    if (qgetenv("NORVA_PSTACK_CACHE") == "off")
        return QString();
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    return base.isEmpty() ? QString() : base + QStringLiteral("/norva-pstack");
}

NameCache::NameCache(const QString &folder) : folder_(folder) {}

QString NameCache::PathOf(const QByteArray &id) const
{
    return folder_ + QLatin1Char('/') + QString::fromLatin1(id.toHex());
}

NameCache::Entry &NameCache::EntryOf(const QByteArray &id, const QByteArray &stamp)
{
    auto it = entries_.find(id);
    if (it == entries_.end()) {
        Entry entry;
        entry.stamp = stamp;
        Entry kept;
        if (Load(id, &kept) && kept.stamp == stamp)
            entry = kept;
        it = entries_.insert(id, entry);
    } else if (it->stamp != stamp) {
        // The debug information changed under a running viewer: start the module afresh.
        *it = Entry();
        it->stamp = stamp;
    }
    return *it;
}

bool NameCache::FindName(const QByteArray &id, const QByteArray &stamp, uint64_t offset,
                         CodeSymbol *symbol)
{
    if (!enabled() || id.isEmpty())
        return false;
    const Entry &entry = EntryOf(id, stamp);
    const auto found = entry.names.constFind(offset);
    if (found == entry.names.constEnd())
        return false;
    *symbol = *found;
    return true;
}

void NameCache::KeepName(const QByteArray &id, const QByteArray &stamp, uint64_t offset,
                         const CodeSymbol &symbol)
{
    if (!enabled() || id.isEmpty())
        return;
    Entry &entry = EntryOf(id, stamp);
    CodeSymbol kept = symbol;
    kept.module.clear();
    kept.moduleBase = 0;
    entry.names.insert(offset, kept);
    entry.dirty = true;
}

bool NameCache::FindTailCalls(const QByteArray &id, const QByteArray &stamp, uint64_t callerReturn,
                              const QByteArray &calleeId, uint64_t calleeEntry,
                              QVector<uint64_t> *chain)
{
    if (!enabled() || id.isEmpty() || calleeId.isEmpty())
        return false;
    const Entry &entry = EntryOf(id, stamp);
    const auto found = entry.tails.constFind({callerReturn, calleeId, calleeEntry});
    if (found == entry.tails.constEnd())
        return false;
    *chain = *found;
    return true;
}

void NameCache::KeepTailCalls(const QByteArray &id, const QByteArray &stamp, uint64_t callerReturn,
                              const QByteArray &calleeId, uint64_t calleeEntry,
                              const QVector<uint64_t> &chain)
{
    if (!enabled() || id.isEmpty() || calleeId.isEmpty())
        return;
    Entry &entry = EntryOf(id, stamp);
    entry.tails.insert({callerReturn, calleeId, calleeEntry}, chain);
    entry.dirty = true;
}

void NameCache::NoteFiles(const QByteArray &id, const QByteArrayList &paths)
{
    auto it = entries_.find(id);
    if (it == entries_.end())
        return;
    for (const QByteArray &path : paths) {
        if (!it->files.contains(path)) {
            it->files.insert(path, FileState(path));
            it->dirty = true;
        }
    }
}

void NameCache::Forget(const QByteArray &id)
{
    auto it = entries_.find(id);
    if (it != entries_.end())
        it->forgotten = true;
}

bool NameCache::Load(const QByteArray &id, Entry *entry) const
{
    QFile file(PathOf(id));
    if (!file.open(QIODevice::ReadOnly) || file.size() > kEntryBytes)
        return false;
    // Closed at once: on Windows an open entry cannot be replaced by another viewer.
    const QByteArray bytes = file.readAll();
    file.close();
    // Magic, length and checksum of the body: a torn or foreign file reads as none.
    if (bytes.size() < 24 || !bytes.startsWith(QByteArray(kMagic, 8)))
        return false;
    QDataStream head(bytes.mid(8, 16));
    quint64 length = 0, hash = 0;
    head >> length >> hash;
    const QByteArray body = bytes.mid(24);
    if (length != quint64(body.size()) || hash != Fnv1a(body))
        return false;
    QDataStream in(body);
    in.setVersion(QDataStream::Qt_5_12);
    quint32 format = 0, names = 0, tails = 0;
    QByteArray ownId;
    in >> format >> ownId >> entry->stamp >> entry->files >> names;
    if (in.status() != QDataStream::Ok || format != kFormat || ownId != id)
        return false; // another format, or another module's entry under this name
    for (auto file = entry->files.constBegin(); file != entry->files.constEnd(); ++file)
        if (FileState(file.key()) != file.value())
            return false; // a file its names came from is not what it was
    for (quint32 i = 0; i < names; ++i) {
        quint64 offset = 0;
        CodeSymbol symbol;
        in >> offset;
        if (!Get(in, &symbol))
            return false;
        entry->names.insert(offset, symbol);
    }
    in >> tails;
    for (quint32 i = 0; i < tails && in.status() == QDataStream::Ok; ++i) {
        TailKey key = {0, {}, 0};
        quint64 callerReturn = 0, calleeEntry = 0;
        quint32 count = 0;
        in >> callerReturn >> key.calleeId >> calleeEntry >> count;
        key.callerReturn = callerReturn;
        key.calleeEntry = calleeEntry;
        QVector<uint64_t> chain;
        for (quint32 j = 0; j < count && j < 4096 && in.status() == QDataStream::Ok; ++j) {
            quint64 at = 0;
            in >> at;
            chain.push_back(at);
        }
        entry->tails.insert(key, chain);
    }
    if (in.status() != QDataStream::Ok || !in.atEnd())
        return false;
    // Used now: the last to be removed when the folder is trimmed.
    if (file.open(QIODevice::ReadWrite))
        file.setFileTime(QDateTime::currentDateTimeUtc(), QFileDevice::FileModificationTime);
    return true;
}

bool NameCache::Write(const QByteArray &id, const Entry &entry) const
{
    QByteArray body;
    {
        QDataStream out(&body, QIODevice::WriteOnly);
        out.setVersion(QDataStream::Qt_5_12);
        out << kFormat << id << entry.stamp << entry.files << quint32(entry.names.size());
        for (auto it = entry.names.constBegin(); it != entry.names.constEnd(); ++it) {
            out << quint64(it.key());
            Put(out, it.value());
        }
        out << quint32(entry.tails.size());
        for (auto it = entry.tails.constBegin(); it != entry.tails.constEnd(); ++it) {
            out << quint64(it.key().callerReturn) << it.key().calleeId
                << quint64(it.key().calleeEntry) << quint32(it.value().size());
            for (uint64_t at : it.value())
                out << quint64(at);
        }
    }
    if (body.size() + 24 > kEntryBytes)
        return false;
    QByteArray head;
    {
        QDataStream out(&head, QIODevice::WriteOnly);
        out << quint64(body.size()) << quint64(Fnv1a(body));
    }
    // Written whole beside the entry under a name of this viewer's own, closed, then renamed
    // over it: a reader sees the old entry or the new one. Not synced to disk: an entry cut
    // short by a crash reads as none.
    const QString part =
        folder_ + QStringLiteral("/.%1.%2.%3.part")
                      .arg(QString::fromLatin1(id.toHex()))
                      .arg(QCoreApplication::applicationPid())
                      .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
    QFile file(part);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
    const QByteArray whole = QByteArray(kMagic, 8) + head + body;
    const bool written = file.write(whole) == whole.size() && file.flush();
    file.close();
    if (written && RenameOver(part, PathOf(id)))
        return true;
    QFile::remove(part);
    return false;
}

bool NameCache::Save()
{
    if (!enabled())
        return true;
    bool ok = true, wrote = false;
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (!it->dirty || it->forgotten)
            continue;
        if (!QDir().mkpath(folder_)) {
            ok = false;
            break;
        }
        // What another viewer wrote meanwhile is kept beside what this one learnt.
        Entry merged;
        if (Load(it.key(), &merged) && merged.stamp == it->stamp) {
            for (auto name = it->names.constBegin(); name != it->names.constEnd(); ++name)
                merged.names.insert(name.key(), name.value());
            for (auto tail = it->tails.constBegin(); tail != it->tails.constEnd(); ++tail)
                merged.tails.insert(tail.key(), tail.value());
            for (auto file = it->files.constBegin(); file != it->files.constEnd(); ++file)
                merged.files.insert(file.key(), file.value());
            merged.stamp = it->stamp;
        } else {
            merged = *it;
        }
        const bool written = Write(it.key(), merged);
        ok = ok && written;
        wrote = wrote || written;
        it->dirty = false;
    }
    if (wrote)
        Trim();
    return ok;
}

void NameCache::Trim() const
{
    QFileInfoList files =
        QDir(folder_).entryInfoList(QDir::Files | QDir::Hidden, QDir::Time | QDir::Reversed);
    qint64 total = 0;
    const QDateTime stale = QDateTime::currentDateTimeUtc().addSecs(-3600);
    for (const QFileInfo &file : files) {
        // What a viewer killed mid-write left.
        if (file.fileName().endsWith(QLatin1String(".part")) && file.lastModified() < stale)
            QFile::remove(file.filePath());
        else
            total += file.size();
    }
    // Oldest first: removed until the folder is within its bound (another viewer's file being
    // written is its own to rename or drop).
    for (const QFileInfo &file : files) {
        if (total <= kNameCacheBytes)
            break;
        if (!file.fileName().endsWith(QLatin1String(".part")) && QFile::remove(file.filePath()))
            total -= file.size();
    }
}
