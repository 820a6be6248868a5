#pragma once
// Logging to journald with the subsystem and category as fields (stderr when journald is absent).
// Never pass a password or any secret to these functions.
#include <string>
#include <string_view>
#include <utility>

namespace platform {

enum class LogLevel { debug, info, notice, error };

class Logger {
public:
    Logger(std::string subsystem, std::string category)
        : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

    void log(LogLevel level, std::string_view message) const;
    void debug(std::string_view message) const { log(LogLevel::debug, message); }
    void info(std::string_view message) const { log(LogLevel::info, message); }
    void notice(std::string_view message) const { log(LogLevel::notice, message); }
    void error(std::string_view message) const { log(LogLevel::error, message); }

    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }

private:
    std::string subsystem_;
    std::string category_;
};

// Where log lines go. The default sink writes to journald, or stderr without it; tests install a
// capturing sink. Returns the previous sink; a null sink restores the default. Thread-safe: once
// setLogSink returns, the previous sink is no longer being called. A sink may be called from several
// threads at once and must not log itself.
struct LogRecord {
    LogLevel level;
    std::string_view subsystem;
    std::string_view category;
    std::string_view message;
};
using LogSink = void (*)(const LogRecord&, void* context);
std::pair<LogSink, void*> setLogSink(LogSink sink, void* context);
// The default sink's fallback, one "subsystem [category] message" line per record on stderr: for a
// process whose lines must go there even where journald runs.
void standardErrorSink(const LogRecord& record, void* context);

// Messages below this level are dropped (default: info; LUMIVEX_LOG=debug lowers it, and
// LUMIVEX_LOG=notice or =error raise it).
void setMinimumLogLevel(LogLevel level);

}  // namespace platform
