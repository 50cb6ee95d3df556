#include "InflatePlan.h"

#include <QByteArray>
#include <QSet>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <gelf.h>
#include <lzma.h>
#include <memory>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <zlib.h>

bool Needed(const char *raw)
{
    static const QSet<QByteArray> kNeeded = {
        ".debug_info",  ".debug_abbrev",  ".debug_line",   ".debug_line_str", ".debug_str",
        ".debug_addr",  ".debug_aranges", ".debug_ranges", ".debug_rnglists", ".debug_str_offsets",
        ".debug_frame", ".eh_frame",      ".symtab",       ".strtab"};
    if (!raw)
        return false;
    QByteArray name(raw);
    if (name.endsWith(".dwo")) // a split unit's sections
        name.chop(4);
    if (name.startsWith(".zdebug"))
        name = ".debug" + name.mid(7);
    return kNeeded.contains(name);
}

namespace {

// What an xz stream says its content takes (from its index, at the end): 0 when it cannot be
// read as one stream.
unsigned long long DeclaredXzSize(const uint8_t *data, size_t size)
{
    lzma_stream_flags footer;
    if (size < 2 * LZMA_STREAM_HEADER_SIZE ||
        lzma_stream_footer_decode(&footer, data + size - LZMA_STREAM_HEADER_SIZE) != LZMA_OK ||
        footer.backward_size > size - 2 * LZMA_STREAM_HEADER_SIZE)
        return 0;
    const uint8_t *index = data + size - LZMA_STREAM_HEADER_SIZE - footer.backward_size;
    lzma_index *decoded = nullptr;
    uint64_t memoryLimit = 16 << 20;
    size_t at = 0;
    if (lzma_index_buffer_decode(&decoded, &memoryLimit, nullptr, index, &at,
                                 footer.backward_size) != LZMA_OK)
        return 0;
    const unsigned long long bytes = lzma_index_uncompressed_size(decoded);
    lzma_index_end(decoded, nullptr);
    return bytes;
}

// Whether an xz stream inflates to exactly the size it declares: inflated into a small buffer
// and thrown away, given up as soon as it says more than that. A stream that lies about its
// size would make libdw inflate without end.
bool InflatesAsDeclared(const uint8_t *data, size_t size, unsigned long long declared)
{
    lzma_stream stream = LZMA_STREAM_INIT;
    if (lzma_stream_decoder(&stream, 256 << 20, 0) != LZMA_OK)
        return false;
    uint8_t out[65536];
    stream.next_in = data;
    stream.avail_in = size;
    unsigned long long total = 0;
    lzma_ret ret = LZMA_OK;
    while (ret == LZMA_OK && total <= declared) {
        stream.next_out = out;
        stream.avail_out = sizeof(out);
        ret = lzma_code(&stream, LZMA_FINISH);
        total += sizeof(out) - stream.avail_out;
    }
    lzma_end(&stream);
    return ret == LZMA_STREAM_END && total == declared;
}

void PlanMiniDebugInfo(Elf_Scn *scn, InflatePlan *plan)
{
    Elf_Data *raw = elf_rawdata(scn, nullptr);
    if (!raw || !raw->d_buf)
        return;
    const auto *data = static_cast<const uint8_t *>(raw->d_buf);
    plan->miniDebugInfo = true;
    plan->miniDebugInfoBytes = DeclaredXzSize(data, raw->d_size);
    plan->miniDebugInfoHonest = plan->miniDebugInfoBytes > 0 &&
                                plan->miniDebugInfoBytes <= kFileLimit &&
                                InflatesAsDeclared(data, raw->d_size, plan->miniDebugInfoBytes);
}

} // namespace

InflatePlan Plan(Elf *elf)
{
    InflatePlan plan;
    size_t strndx = 0;
    if (elf_getshdrstrndx(elf, &strndx) != 0)
        return plan;
    for (Elf_Scn *scn = elf_nextscn(elf, nullptr); scn; scn = elf_nextscn(elf, scn)) {
        GElf_Shdr shdr;
        if (!gelf_getshdr(scn, &shdr) || shdr.sh_type == SHT_NOBITS)
            continue;
        const char *name = elf_strptr(elf, strndx, shdr.sh_name);
        if (name && std::strcmp(name, ".gnu_debugdata") == 0) {
            PlanMiniDebugInfo(scn, &plan);
            continue;
        }
        unsigned long long size = shdr.sh_size;
        const bool gnu = name && std::strncmp(name, ".zdebug", 7) == 0;
        const bool compressed = (shdr.sh_flags & SHF_COMPRESSED) || gnu;
        plan.compressed = plan.compressed || compressed;
        if (shdr.sh_flags & SHF_COMPRESSED) {
            GElf_Chdr chdr;
            if (gelf_getchdr(scn, &chdr))
                size = chdr.ch_size;
        } else if (gnu) {
            // "ZLIB", then the inflated size as 8 bytes, most significant first.
            Elf_Data *raw = elf_rawdata(scn, nullptr);
            if (raw && raw->d_size >= 12 && std::memcmp(raw->d_buf, "ZLIB", 4) == 0) {
                size = 0;
                for (int i = 4; i < 12; ++i)
                    size = (size << 8) | static_cast<const unsigned char *>(raw->d_buf)[i];
            }
        }
        if (Needed(name))
            plan.neededBytes += size;
        else if (compressed)
            plan.otherCompressedBytes += size;
    }
    return plan;
}

namespace {

// A needed compressed section to inflate, and what it inflated to.
struct Inflation {
    Elf_Scn *scn = nullptr;
    const uint8_t *stream = nullptr; // the zlib stream
    size_t streamSize = 0;
    uint64_t size = 0; // as declared
    uint64_t align = 1;
    std::unique_ptr<uint8_t[]> out;
    bool ok = false;
};

// The zlib stream of a section compressed the ELF way or the GNU way (".zdebug"), and what it
// declares; false for another kind (zstd), which libelf inflates itself.
bool Prepare(Elf *elf, Elf_Scn *scn, bool gnu, Inflation *job)
{
    Elf_Data *raw = elf_rawdata(scn, nullptr);
    if (!raw || !raw->d_buf)
        return false;
    const auto *bytes = static_cast<const uint8_t *>(raw->d_buf);
    job->scn = scn;
    if (gnu) {
        if (raw->d_size < 12 || std::memcmp(bytes, "ZLIB", 4) != 0)
            return false;
        for (int i = 4; i < 12; ++i)
            job->size = (job->size << 8) | bytes[i];
        job->stream = bytes + 12;
        job->streamSize = raw->d_size - 12;
        GElf_Shdr shdr;
        job->align = gelf_getshdr(scn, &shdr) ? std::max<uint64_t>(shdr.sh_addralign, 1) : 1;
        return true;
    }
    GElf_Chdr chdr;
    if (!gelf_getchdr(scn, &chdr) || chdr.ch_type != ELFCOMPRESS_ZLIB)
        return false;
    const size_t head = gelf_getclass(elf) == ELFCLASS32 ? sizeof(Elf32_Chdr) : sizeof(Elf64_Chdr);
    if (raw->d_size < head)
        return false;
    job->size = chdr.ch_size;
    job->align = std::max<uint64_t>(chdr.ch_addralign, 1);
    job->stream = bytes + head;
    job->streamSize = raw->d_size - head;
    return true;
}

// Inflates one section's stream into a buffer of the size it declares.
void Inflate(Inflation *job)
{
    if (job->size > kFileLimit)
        return;
    job->out.reset(new (std::nothrow) uint8_t[job->size ? job->size : 1]);
    if (!job->out)
        return;
    // The zlib header read here and the deflate stream inflated raw: its trailing checksum
    // costs a tenth of the time and guards nothing the stream's own end and the declared size
    // do not.
    const uint8_t *in = job->stream;
    if (job->streamSize < 2 || (in[0] & 0x0f) != Z_DEFLATED || (in[0] >> 4) > 7 ||
        ((in[0] << 8) | in[1]) % 31 != 0 || (in[1] & 0x20))
        return;
    z_stream z = {};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK)
        return;
    z.next_in = const_cast<Bytef *>(in + 2);
    z.avail_in = static_cast<uInt>(job->streamSize - 2);
    z.next_out = job->out.get();
    z.avail_out = static_cast<uInt>(job->size);
    const int ret = inflate(&z, Z_FINISH);
    job->ok = ret == Z_STREAM_END && z.total_out == job->size;
    inflateEnd(&z);
}

// The section now holds what it inflated to, as elf_compress would leave it.
bool Install(Inflation *job)
{
    GElf_Shdr shdr;
    Elf_Data *data = elf_getdata(job->scn, nullptr);
    if (!data || !gelf_getshdr(job->scn, &shdr))
        return false;
    data->d_buf = job->out.get();
    data->d_size = job->size;
    data->d_type = ELF_T_BYTE;
    data->d_align = job->align;
    shdr.sh_flags &= ~static_cast<GElf_Xword>(SHF_COMPRESSED);
    shdr.sh_size = job->size;
    shdr.sh_addralign = job->align;
    return elf_flagdata(data, ELF_C_SET, ELF_F_DIRTY) != 0 && gelf_update_shdr(job->scn, &shdr);
}

// One section of a copy as rewriting says; needed compressed zlib sections to inflate go to
// jobs, inflated later, two at a time.
bool Rewrite(Elf *elf, Elf_Scn *scn, const char *name, Rewriting rewriting, bool keepMiniDebugInfo,
             std::vector<Inflation> *jobs)
{
    GElf_Shdr shdr;
    if (!gelf_getshdr(scn, &shdr))
        return true;
    const bool gnu = name && std::strncmp(name, ".zdebug", 7) == 0;
    const bool xz = name && std::strcmp(name, ".gnu_debugdata") == 0;
    if (!(shdr.sh_flags & SHF_COMPRESSED) && !gnu && !xz)
        return true;
    if (xz && keepMiniDebugInfo)
        return true; // libdw inflates it, within what it declares
    if (!xz && Needed(name) && rewriting == Rewriting::InflateNeeded) {
        Inflation job;
        if (Prepare(elf, scn, gnu, &job)) {
            jobs->push_back(std::move(job));
            return true;
        }
        return (gnu ? elf_compress_gnu(scn, 0, 0) : elf_compress(scn, 0, 0)) >= 0;
    }
    if (!xz && Needed(name) && rewriting == Rewriting::KeepNeeded)
        return true;
    shdr.sh_type = SHT_NOBITS;
    shdr.sh_flags &= ~static_cast<GElf_Xword>(SHF_COMPRESSED);
    return gelf_update_shdr(scn, &shdr) != 0;
}

// Inflates every job, the largest first, on this thread and one more.
void InflateAll(std::vector<Inflation> *jobs)
{
    std::sort(jobs->begin(), jobs->end(),
              [](const Inflation &a, const Inflation &b) { return a.size > b.size; });
    std::atomic<size_t> next{0};
    const auto work = [jobs, &next] {
        for (size_t i = next++; i < jobs->size(); i = next++)
            Inflate(&(*jobs)[i]);
    };
    std::thread helper;
    if (jobs->size() > 1)
        helper = std::thread(work);
    work();
    if (helper.joinable())
        helper.join();
}

} // namespace

int RewrittenCopy(int fd, Rewriting rewriting, bool keepMiniDebugInfo)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return -1;
    const int copy = memfd_create("norva-debuginfo", MFD_CLOEXEC);
    if (copy < 0)
        return -1;
    off_t offset = 0;
    while (offset < st.st_size) {
        const ssize_t n = sendfile(copy, fd, &offset, static_cast<size_t>(st.st_size - offset));
        if (n <= 0) {
            close(copy);
            return -1;
        }
    }
    bool ok = false;
    if (Elf *elf = elf_begin(copy, ELF_C_RDWR, nullptr)) {
        size_t strndx = 0;
        ok = elf_getshdrstrndx(elf, &strndx) == 0;
        std::vector<Inflation> jobs;
        for (Elf_Scn *scn = elf_nextscn(elf, nullptr); ok && scn; scn = elf_nextscn(elf, scn)) {
            GElf_Shdr shdr;
            ok = !gelf_getshdr(scn, &shdr) ||
                 Rewrite(elf, scn, elf_strptr(elf, strndx, shdr.sh_name), rewriting,
                         keepMiniDebugInfo, &jobs);
        }
        if (ok)
            InflateAll(&jobs);
        for (Inflation &job : jobs)
            ok = ok && job.ok && Install(&job);
        ok = ok && elf_update(elf, ELF_C_WRITE) >= 0;
        elf_end(elf);
    }
    if (!ok) {
        close(copy);
        return -1;
    }
    lseek(copy, 0, SEEK_SET);
    return copy;
}
