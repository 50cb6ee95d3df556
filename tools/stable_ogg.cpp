// Build-time helper: gives every logical stream of an Ogg file a fixed serial number (1, 2, ...
// in order of appearance) and recomputes each page's checksum. The muxer picks serial numbers at
// random, which alone made two builds of the same sources give two different sample clips.
//   stable_ogg <file>   (rewritten in place)
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <vector>

namespace {

// The Ogg page checksum: CRC-32, polynomial 0x04c11db7, not reflected, starting from 0.
uint32_t PageCrc(const uint8_t *data, size_t size)
{
    uint32_t crc = 0;
    for (size_t i = 0; i < size; ++i) {
        crc ^= static_cast<uint32_t>(data[i]) << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04c11db7u : crc << 1;
    }
    return crc;
}

uint32_t Read32(const uint8_t *at)
{
    return at[0] | at[1] << 8 | at[2] << 16 | static_cast<uint32_t>(at[3]) << 24;
}

void Write32(uint8_t *at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<uint8_t>(value >> (8 * i));
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s file.ogg\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    in.close();
    std::map<uint32_t, uint32_t> serials;
    size_t at = 0;
    while (at + 27 <= file.size()) {
        uint8_t *page = file.data() + at;
        if (page[0] != 'O' || page[1] != 'g' || page[2] != 'g' || page[3] != 'S') {
            std::fprintf(stderr, "%s: no Ogg page at byte %zu\n", argv[1], at);
            return 1;
        }
        const size_t segments = page[26];
        size_t size = 27 + segments;
        if (at + size > file.size())
            break;
        for (size_t i = 0; i < segments; ++i)
            size += page[27 + i];
        if (at + size > file.size()) {
            std::fprintf(stderr, "%s: page at byte %zu runs past the end\n", argv[1], at);
            return 1;
        }
        const uint32_t serial = Read32(page + 14);
        auto it = serials.emplace(serial, static_cast<uint32_t>(serials.size() + 1)).first;
        Write32(page + 14, it->second);
        Write32(page + 22, 0);
        Write32(page + 22, PageCrc(page, size));
        at += size;
    }
    if (at != file.size()) {
        std::fprintf(stderr, "%s: %zu bytes after the last page\n", argv[1], file.size() - at);
        return 1;
    }
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(file.data()),
              static_cast<std::streamsize>(file.size()));
    return out ? 0 : 1;
}
