#include "log/log.h"

#include <string>

#include "log/unified_logger.h"

namespace lockstep {

namespace {

SystemLog* installedSystemLog = nullptr;

void emit(std::string_view text, std::int64_t level) {
    SystemLog& log = systemLog();
    if (log.isEnabled(LogType::Default)) {
        std::string escaped = "LOCKSTEP_LOG:";
        escaped.reserve(escaped.size() + text.size());
        for (const char c : text) {
            if (c == '\n') {
                escaped += "\\n";
            } else {
                escaped += c;
            }
        }
        log.write(LogType::Default, escaped);
    }
    MDLUnifiedLogger::sharedLogger().logString(text, level);
}

}  // namespace

SystemLog& systemLog() {
    if (installedSystemLog != nullptr) {
        return *installedSystemLog;
    }
    // Opened on first use and kept for the life of the process.
    static SyslogSystemLog syslogLog;
    return syslogLog;
}

ScopedSystemLog::ScopedSystemLog(SystemLog& log) : previous_(installedSystemLog) {
    installedSystemLog = &log;
}

ScopedSystemLog::~ScopedSystemLog() {
    installedSystemLog = previous_;
}

std::string buildLogLine(std::string_view message, std::string_view file, std::int64_t line,
                         std::string_view function) {
    const auto slash = file.rfind('/');
    const std::string_view component =
        slash == std::string_view::npos ? file : file.substr(slash + 1);
    std::string result;
    if (!message.empty()) {
        result = "      ";
    }
    result += component;
    result += ':';
    result += std::to_string(line);
    result += ' ';
    result += function;
    result += ' ';
    result += message;
    return result;
}

void MDLLogErrorWithMark(std::string_view message, std::string_view file, std::int64_t line,
                         std::string_view function) {
    logErrorLine(buildLogLine(message, file, line, function));
}

void MDLLogInfoWithMark(std::string_view message, std::string_view file, std::int64_t line,
                        std::string_view function) {
    logInfoLine(buildLogLine(message, file, line, function));
}

void MDLLogWithMark(std::string_view message, std::string_view file, std::int64_t line,
                    std::string_view function) {
    logDebugLine(buildLogLine(message, file, line, function));
}

void logErrorLine(std::string_view text) {
    emit(text, kLogLevelError);
}
void logInfoLine(std::string_view text) {
    emit(text, kLogLevelInfo);
}
void logDebugLine(std::string_view text) {
    emit(text, kLogLevelDebug);
}

void osLog(LogType type, std::string_view message) {
    SystemLog& log = systemLog();
    if (log.isEnabled(type)) {
        log.write(type, message);
    }
}

}  // namespace lockstep
