#include "platform/Log.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <shared_mutex>
#include <string>

#ifdef LUMIVEX_HAVE_JOURNAL
#define SD_JOURNAL_SUPPRESS_LOCATION  // the location would always be this file
#include <syslog.h>
#include <systemd/sd-journal.h>
#endif

namespace platform {

namespace {

void writeToStandardError(const LogRecord& record) {
    std::string line;
    line.reserve(record.subsystem.size() + record.category.size() + record.message.size() + 5);
    line.append(record.subsystem).append(" [").append(record.category).append("] ").append(record.message);
    line.push_back('\n');
    // One write per line, so lines from several threads do not interleave.
    const char* data = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t written = ::write(STDERR_FILENO, data, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        data += written;
        left -= static_cast<std::size_t>(written);
    }
}

#ifdef LUMIVEX_HAVE_JOURNAL
int priority(LogLevel level) {
    switch (level) {
        case LogLevel::debug:
            return LOG_DEBUG;
        case LogLevel::info:
            return LOG_INFO;
        case LogLevel::notice:
            return LOG_NOTICE;
        case LogLevel::error:
            return LOG_ERR;
    }
    return LOG_INFO;
}

bool sendToJournal(const LogRecord& record) {
    // Checked once: journald's socket does not come and go during a process's life.
    static const bool journalPresent = ::access("/run/systemd/journal/socket", F_OK) == 0;
    if (!journalPresent)
        return false;
    return sd_journal_send("MESSAGE=%.*s", static_cast<int>(record.message.size()), record.message.data(),
                           "PRIORITY=%i", priority(record.level), "SUBSYSTEM=%.*s",
                           static_cast<int>(record.subsystem.size()), record.subsystem.data(),
                           "CATEGORY=%.*s", static_cast<int>(record.category.size()), record.category.data(),
                           nullptr) >= 0;
}
#endif

void defaultSink(const LogRecord& record, void* /*context*/) {
#ifdef LUMIVEX_HAVE_JOURNAL
    if (sendToJournal(record))
        return;
#endif
    writeToStandardError(record);
}

LogLevel levelFromEnvironment() {
    const char* value = std::getenv("LUMIVEX_LOG");
    const std::string_view name = value ? value : "";
    if (name == "debug")
        return LogLevel::debug;
    if (name == "notice")
        return LogLevel::notice;
    if (name == "error")
        return LogLevel::error;
    return LogLevel::info;
}

// The one piece of process-wide state: where lines go is a property of the process, not of a service.
struct LogState {
    std::shared_mutex mutex;  // shared while a sink runs, exclusive to replace it
    LogSink sink = &defaultSink;
    void* context = nullptr;
    std::atomic<LogLevel> minimum{levelFromEnvironment()};
};

LogState& state() {
    static LogState instance;
    return instance;
}

}  // namespace

void Logger::log(LogLevel level, std::string_view message) const {
    LogState& log = state();
    if (level < log.minimum.load(std::memory_order_relaxed))
        return;
    const LogRecord record{level, subsystem_, category_, message};
    std::shared_lock lock(log.mutex);
    log.sink(record, log.context);
}

std::pair<LogSink, void*> setLogSink(LogSink sink, void* context) {
    LogState& log = state();
    std::unique_lock lock(log.mutex);
    std::pair<LogSink, void*> previous{log.sink, log.context};
    log.sink = sink ? sink : &defaultSink;
    log.context = sink ? context : nullptr;
    return previous;
}

void standardErrorSink(const LogRecord& record, void* /*context*/) {
    writeToStandardError(record);
}

void setMinimumLogLevel(LogLevel level) {
    state().minimum.store(level, std::memory_order_relaxed);
}

}  // namespace platform
