#include "Maps.h"

#include "ProcFiles.h"

#include <cstdlib>
#include <sys/sysmacros.h>

namespace {

bool ParseLine(const char *at, const char *end, MapEntry *entry)
{
    char *next = nullptr;
    entry->start = std::strtoull(at, &next, 16);
    if (*next != '-')
        return false;
    entry->end = std::strtoull(next + 1, &next, 16);
    if (*next != ' ' || end - next < 5)
        return false;
    entry->read = next[1] == 'r';
    entry->write = next[2] == 'w';
    entry->exec = next[3] == 'x';
    entry->offset = std::strtoull(next + 6, &next, 16);
    const unsigned long major = std::strtoul(next + 1, &next, 16);
    if (*next != ':')
        return false;
    const unsigned long minor = std::strtoul(next + 1, &next, 16);
    entry->dev = makedev(major, minor);
    entry->inode = std::strtoull(next + 1, &next, 10);
    if (next > end)
        return false;
    while (next < end && *next == ' ')
        ++next;
    entry->path = QByteArray(next, static_cast<int>(end - next));
    return true;
}

} // namespace

std::vector<MapEntry> ParseMaps(const QByteArray &text)
{
    std::vector<MapEntry> entries;
    const char *data = text.constData(); // NUL-terminated: strtoull stops there at worst
    for (int at = 0; at < text.size();) {
        int end = text.indexOf('\n', at);
        if (end < 0)
            end = text.size();
        MapEntry entry;
        if (ParseLine(data + at, data + end, &entry))
            entries.push_back(entry);
        at = end + 1;
    }
    return entries;
}

MapsSnapshot MapsSnapshot::Read(long long pid)
{
    MapsSnapshot snapshot;
    snapshot.text = ReadTaskFile(pid, 0, "maps");
    snapshot.entries = ParseMaps(snapshot.text);
    return snapshot;
}

QByteArray MapsSnapshot::CodeSignature() const
{
    QByteArray code;
    for (const MapEntry &entry : entries)
        if (entry.exec && entry.fileBacked())
            code += QByteArray::number(qulonglong(entry.start), 16) + '-' +
                    QByteArray::number(qulonglong(entry.end), 16) + ' ' +
                    QByteArray::number(qulonglong(entry.inode)) + ' ' + entry.path + '\n';
    return code;
}

bool MapsSnapshot::IsAnotherProgramThan(const MapsSnapshot &before) const
{
    if (entries.empty() || before.entries.empty())
        return false; // no map at all: it ended, or is between two programs
    return entries.front().start != before.entries.front().start ||
           entries.front().end != before.entries.front().end;
}

std::vector<AddressRange> MapsSnapshot::WritableRanges() const
{
    std::vector<AddressRange> ranges;
    for (const MapEntry &entry : entries)
        if (entry.read && entry.write)
            ranges.push_back({entry.start, entry.end});
    return ranges;
}

const MapEntry *MapsSnapshot::Find(const QByteArray &path) const
{
    for (const MapEntry &entry : entries)
        if (entry.path == path)
            return &entry;
    return nullptr;
}
