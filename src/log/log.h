#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/system_log.h"

namespace lockstep {

// Log levels as the file logger receives them.
inline constexpr std::int64_t kLogLevelError = 0;
inline constexpr std::int64_t kLogLevelInfo = 1;
inline constexpr std::int64_t kLogLevelDebug = 2;

// The three log calls. Each builds one line from the message and the caller's
// position ("      file.cpp:49 function() message") and emits it at its level.
// `function` is the labelled operation name, e.g. "run()".
void MDLLogErrorWithMark(std::string_view message, std::string_view file, std::int64_t line,
                         std::string_view function);
void MDLLogInfoWithMark(std::string_view message, std::string_view file, std::int64_t line,
                        std::string_view function);
void MDLLogWithMark(std::string_view message, std::string_view file, std::int64_t line,
                    std::string_view function);

// Builds the line of a log call, without emitting it.
[[nodiscard]] std::string buildLogLine(std::string_view message, std::string_view file,
                                       std::int64_t line, std::string_view function);

// Line emitters: send a finished line to the system log (prefixed
// "LOCKSTEP_LOG:", line feeds escaped) and to the shared file logger.
void logErrorLine(std::string_view text);
void logInfoLine(std::string_view text);
void logDebugLine(std::string_view text);

// Sends one message straight to the system log at the given type, without
// prefix or escaping, and not to the file logger.
void osLog(LogType type, std::string_view message);

// The system log that the log calls write to: syslog(3) unless a test has
// installed another one with ScopedSystemLog.
[[nodiscard]] SystemLog& systemLog();

// Routes the system log to `log` for the lifetime of this object.
class ScopedSystemLog {
  public:
    explicit ScopedSystemLog(SystemLog& log);
    ~ScopedSystemLog();
    ScopedSystemLog(const ScopedSystemLog&) = delete;
    ScopedSystemLog& operator=(const ScopedSystemLog&) = delete;

  private:
    SystemLog* previous_;
};

}  // namespace lockstep

// Log calls with the source position filled in; `function` stays explicit
// because it is the labelled operation name, not the C++ one.
#define LOCKSTEP_LOG_ERROR(message, function) \
    ::lockstep::MDLLogErrorWithMark((message), __FILE__, __LINE__, (function))
#define LOCKSTEP_LOG_INFO(message, function) \
    ::lockstep::MDLLogInfoWithMark((message), __FILE__, __LINE__, (function))
#define LOCKSTEP_LOG_DEBUG(message, function) \
    ::lockstep::MDLLogWithMark((message), __FILE__, __LINE__, (function))
