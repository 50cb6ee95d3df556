#pragma once
// The in-house diagnostic line: "<source path>(<line>)-<<function>>: <message>".
//
// The line number is passed in, never __LINE__: each line keeps the number it has always been
// known by in the logs people already read and search, wherever the call stands in the file
// today.
#include <util/base.h>

#define NV_BLOG(level, line, function, format, ...)                                                \
    blog(level, "%s(%d)-<%s>: " format, __FILE__, line, function, ##__VA_ARGS__)

// The name of a log level as the logging library's default handler writes it ("error",
// "warning", "info", "debug"); null for any other level.
inline const char *LogLevelName(int level)
{
    switch (level) {
    case LOG_ERROR:
        return "error";
    case LOG_WARNING:
        return "warning";
    case LOG_INFO:
        return "info";
    case LOG_DEBUG:
        return "debug";
    default:
        return nullptr;
    }
}
