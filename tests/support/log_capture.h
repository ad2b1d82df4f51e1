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
// in a fresh temporary folder, with "showDebug" on (unless asked otherwise).
// Every line handed to the file logger is recorded with its level. (Without
// a LogCapture, test programs still never reach the machine's syslog or log
// folder: the support library routes both to throw-away sinks.)
//
//     LogCapture capture;
//     codeUnderTest();
//     EXPECT_TRUE(capture.containsInOrder({"first message", "second message"}));
class LogCapture {
  public:
    struct Options {
        bool showDebug = true;
    };

    LogCapture();
    explicit LogCapture(Options options);
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Every (level, line) handed to the file logger, in order; or only those
    // of one level.
    [[nodiscard]] const std::vector<LoggedLine>& lines() const { return lines_; }
    [[nodiscard]] std::vector<LoggedLine> lines(std::int64_t level) const;
    // Every entry sent to the system log (log calls with their
    // "LOCKSTEP_LOG:" prefix, and osLog messages as they are).
    [[nodiscard]] const std::vector<RecordingSystemLog::Entry>& systemEntries() const {
        return systemLog_.entries;
    }
    [[nodiscard]] RecordingSystemLog& systemLog() { return systemLog_; }

    // Whether some line (of this level) holds `text`, a substring match.
    [[nodiscard]] bool contains(std::string_view text) const { return count(text) > 0; }
    [[nodiscard]] bool contains(std::int64_t level, std::string_view text) const;
    // Number of lines holding `text`.
    [[nodiscard]] std::size_t count(std::string_view text) const;
    // Whether lines holding each text appear, each after the one before.
    [[nodiscard]] bool containsInOrder(std::initializer_list<std::string_view> texts) const;
    // Whether some system-log entry holds `text`.
    [[nodiscard]] bool systemContains(std::string_view text) const;
    // All recorded lines, one per row with their level, for failure messages.
    [[nodiscard]] std::string dump() const;

    // What the file logger echoed to standard error.
    [[nodiscard]] const std::string& standardError() const { return standardError_; }
    // The contents of the current log file.
    [[nodiscard]] std::string logFileContents() const;
    // Forgets everything recorded so far.
    void clear();

  private:
    TempDir folder_;
    RecordingSystemLog systemLog_;
    std::vector<LoggedLine> lines_;
    std::string standardError_;
    MDLUnifiedLogger logger_;
    ScopedSystemLog systemLogScope_;
    ScopedSharedLogger loggerScope_;
};

// A logger environment for tests: everything below `root`, real user 0, the
// given defaults, the system clock, and writers that discard their text.
[[nodiscard]] LoggerEnvironment testLoggerEnvironment(const std::filesystem::path& root,
                                                      UserDefaults defaults);

}  // namespace lockstep::testing
