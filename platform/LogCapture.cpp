#include "platform/LogCapture.h"

#include <algorithm>

namespace platform {

LogCapture::LogCapture() : previous_(setLogSink(&LogCapture::record, this)) {}

LogCapture::~LogCapture() {
    setLogSink(previous_.first, previous_.second);
}

std::vector<LogCapture::Entry> LogCapture::entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
}

bool LogCapture::contains(std::string_view text) const {
    std::lock_guard lock(mutex_);
    return std::any_of(entries_.begin(), entries_.end(),
                       [&](const Entry& entry) { return entry.message.find(text) != std::string::npos; });
}

void LogCapture::record(const LogRecord& record, void* context) {
    auto* self = static_cast<LogCapture*>(context);
    std::lock_guard lock(self->mutex_);
    self->entries_.push_back({record.level, std::string(record.subsystem), std::string(record.category),
                              std::string(record.message)});
}

}  // namespace platform
