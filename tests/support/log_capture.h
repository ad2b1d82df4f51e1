#pragma once

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <optional>
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
// Every line handed to the file logger is recorded with its level.
//
// Without a LogCapture, test programs still never reach the machine's syslog
// or log folder: the support library routes both to throw-away sinks for the
// whole run.
//
//     LogCapture capture;
//     codeUnderTest();
//     EXPECT_TRUE(capture.contains("Keychain item not found"));
//     EXPECT_TRUE(capture.containsInOrder({"first message", "second message"}));
//     EXPECT_EQ(capture.lines().at(0).level, kLogLevelError);
class LogCapture {
  public:
    struct Options {
        bool showDebug = true;
    };

    LogCapture();
    explicit LogCapture(Options options);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Every (level, line) handed to the file logger, in order.
    [[nodiscard]] const std::vector<LoggedLine>& lines() const { return lines_; }
    // Only the lines of one level.
    [[nodiscard]] std::vector<LoggedLine> lines(std::int64_t level) const;
    // Every entry sent to the system log (log calls with their
    // "LOCKSTEP_LOG:" prefix, and osLog messages as they are).
    [[nodiscard]] const std::vector<RecordingSystemLog::Entry>& systemEntries() const {
        return systemLog_.entries;
    }

    // Whether some line holds `text` (a substring match).
    [[nodiscard]] bool contains(std::string_view text) const;
    // Whether some line of this level holds `text`.
    [[nodiscard]] bool contains(std::int64_t level, std::string_view text) const;
    // Index in lines() of the first line holding `text`; nothing if none.
    [[nodiscard]] std::optional<std::size_t> indexOf(std::string_view text) const;
    // Number of lines holding `text`.
    [[nodiscard]] std::size_t count(std::string_view text) const;
    // Whether lines holding each text appear, each after the one before.
    [[nodiscard]] bool containsInOrder(std::initializer_list<std::string_view> texts) const;
    // Whether some system-log entry holds `text`.
    [[nodiscard]] bool systemContains(std::string_view text) const;

    // All recorded lines, one per row with their level, for failure messages:
    //     EXPECT_TRUE(capture.contains("x")) << capture.dump();
    [[nodiscard]] std::string dump() const;

    // What the file logger echoed to standard error and standard output.
    [[nodiscard]] const std::string& standardError() const { return standardError_; }
    [[nodiscard]] const std::string& standardOutput() const { return standardOutput_; }
    // The contents of the current log file.
    [[nodiscard]] std::string logFileContents() const;

    // Forgets everything recorded so far.
    void clear();

    [[nodiscard]] MDLUnifiedLogger& logger() { return logger_; }
    [[nodiscard]] RecordingSystemLog& systemLog() { return systemLog_; }
    [[nodiscard]] const std::filesystem::path& folder() const { return folder_.path(); }

  private:
    TempDir folder_;
    RecordingSystemLog systemLog_;
    std::vector<LoggedLine> lines_;
    std::string standardError_;
    std::string standardOutput_;
    MDLUnifiedLogger logger_;
    ScopedSystemLog systemLogScope_;
    ScopedSharedLogger loggerScope_;
};

// A logger environment for tests: everything below `root`, real user 0, the
// given defaults, the system clock, and writers that discard their text.
[[nodiscard]] LoggerEnvironment testLoggerEnvironment(const std::filesystem::path& root,
                                                      UserDefaults defaults);

}  // namespace lockstep::testing
