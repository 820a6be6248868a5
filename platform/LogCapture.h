#pragma once
// Test support: collects every log record while it exists (and restores the previous sink after).
// Lives on any thread; records may arrive from several threads.
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Log.h"

namespace platform {

class LogCapture {
public:
    struct Entry {
        LogLevel level;
        std::string subsystem;
        std::string category;
        std::string message;
    };

    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<Entry> entries() const;
    // True when some captured message contains `text`.
    bool contains(std::string_view text) const;

private:
    static void record(const LogRecord& record, void* context);

    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    std::pair<LogSink, void*> previous_;
};

}  // namespace platform
