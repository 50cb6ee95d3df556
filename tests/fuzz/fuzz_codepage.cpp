// libFuzzer target for the code-page pair: any bytes in any code page, both directions.
#include <cstddef>
#include <cstdint>
#include <string>
#include <util/base.h>

#include "StrUtil.h"

namespace {
void Quiet(int, const char *, va_list, void *) {}
const unsigned int kPages[] = {0, 437, 936, 950, 1252, 20127, 50220, 54936, 65000, 65001, 4242};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool once = (base_set_log_handler(Quiet, nullptr), true);
    (void)once;
    if (size < 1)
        return 0;
    const unsigned int page = kPages[data[0] % (sizeof(kPages) / sizeof(kPages[0]))];
    const std::string narrow(reinterpret_cast<const char *>(data + 1), size - 1);
    const std::wstring wide = multistr2widestr(page, narrow);

    // Wide input straight from the bytes, surrogates and out-of-range values included.
    std::wstring raw;
    for (size_t i = 1; i + 3 < size; i += 4)
        raw.push_back(static_cast<wchar_t>(data[i] | data[i + 1] << 8 | data[i + 2] << 16 |
                                           (data[i + 3] & 0x7f) << 24));
    widestr2multistr(page, raw, "?");
    widestr2multistr(page, wide, nullptr);

    // UTF-8 that came from valid characters reads back unchanged.
    if (page == 65001) {
        const std::string utf8 = widestr2multistr(65001, wide, nullptr);
        if (multistr2widestr(65001, utf8) != wide)
            __builtin_trap();
    }
    return 0;
}
