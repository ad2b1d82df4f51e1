#pragma once

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "log/log.h"
#include "log/unified_logger.h"
#include "platform/system_log.h"
#include "support/temp_dir.h"

namespace lockstep::testing {

// One line as it reached the file logger.
struct LoggedLine {
    std::int64_t level;
    std::string text;
    bool operator==(const LoggedLine&) const = default;
};

std::ostream& operator<<(std::ostream& out, const LoggedLine& line);

// For the lifetime of this object, every log call of the process goes to a
// recording system log and to a file logger of its own whose log folder lies
// in a fresh temporary folder, with "showDebug" on unless asked otherwise.
// Every line handed to the file logger is recorded with its level.
class LogCapture {
  public:
    explicit LogCapture(bool showDebug = true);
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Every (level, line) handed to the file logger, in order; or only those
    // of one level.
    [[nodiscard]] const std::vector<LoggedLine>& lines() const { return lines_; }
    [[nodiscard]] std::vector<LoggedLine> lines(std::int64_t level) const;
    // Every entry sent to the system log.
    [[nodiscard]] const std::vector<RecordingSystemLog::Entry>& systemEntries() const {
        return systemLog.entries;
    }
    // Substring matches: whether some line (of this level) holds `text`, how
    // many do, whether lines holding each text come in this order, whether
    // some system-log entry holds it.
    [[nodiscard]] bool contains(std::string_view text) const { return count(text) > 0; }
    [[nodiscard]] bool contains(std::int64_t level, std::string_view text) const;
    [[nodiscard]] std::size_t count(std::string_view text) const;
    [[nodiscard]] bool containsInOrder(std::initializer_list<std::string_view> texts) const;
    [[nodiscard]] bool systemContains(std::string_view text) const;
    // All recorded lines, one per row with their level, for failure messages.
    [[nodiscard]] std::string dump() const;
    // What the file logger echoed to standard error.
    [[nodiscard]] const std::string& standardError() const { return standardError_; }
    void clear();

    RecordingSystemLog systemLog;

  private:
    TempDir folder_;
    std::vector<LoggedLine> lines_;
    std::string standardError_;
    MDLUnifiedLogger logger_;
    ScopedSystemLog systemLogScope_;
    ScopedSharedLogger loggerScope_;
};

// A logger environment for tests: everything below `root`, real user 0, the
// given defaults, the system clock, and writers that discard their text.
[[nodiscard]] LoggerEnvironment testLoggerEnvironment(const std::filesystem::path& root,
                                                      bool showDebug);

}  // namespace lockstep::testing
