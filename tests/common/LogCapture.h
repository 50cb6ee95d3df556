#pragma once
// Collects blog lines while alive, by installing a log handler of the test's own.
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <util/base.h>
#include <vector>

struct LogLine {
    int level;
    std::string text;
};

class LogCapture {
public:
    LogCapture()
    {
        base_get_log_handler(&previous_, &previousParam_);
        base_set_log_handler(&LogCapture::Handler, this);
    }
    ~LogCapture() { base_set_log_handler(previous_, previousParam_); }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::vector<LogLine> lines() const
    {
        std::lock_guard<std::mutex> guard(lock_);
        return lines_;
    }
    void clear()
    {
        std::lock_guard<std::mutex> guard(lock_);
        lines_.clear();
    }
    // Number of lines whose text contains needle.
    int count(const std::string &needle) const
    {
        int n = 0;
        for (const LogLine &line : lines())
            n += line.text.find(needle) != std::string::npos;
        return n;
    }

private:
    static void Handler(int level, const char *format, va_list args, void *param)
    {
        char buffer[8192];
        vsnprintf(buffer, sizeof(buffer), format, args);
        auto *self = static_cast<LogCapture *>(param);
        std::lock_guard<std::mutex> guard(self->lock_);
        self->lines_.push_back({level, buffer});
    }

    log_handler_t previous_ = nullptr;
    void *previousParam_ = nullptr;
    mutable std::mutex lock_;
    std::vector<LogLine> lines_;
};
