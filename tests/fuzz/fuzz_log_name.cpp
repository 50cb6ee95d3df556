// libFuzzer target: log names of any bytes must read as a number or 0, never crash or leak.
#include <cstddef>
#include <cstdint>
#include <string>

#include "LogFolder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string name(reinterpret_cast<const char *>(data), size); // stops at a NUL inside
    const uint64_t number = LogNameToNumber(name.c_str());
    if (number != 0 && name.find('-') == std::string::npos)
        __builtin_trap(); // a log number needs its separators
    return 0;
}
