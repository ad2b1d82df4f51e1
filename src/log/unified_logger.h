#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/scoped_fd.h"
#include "platform/user_defaults.h"

namespace lockstep {

// Everything the file logger takes from the machine. The production logger
// uses LoggerEnvironment::system(); tests give a clock, settings and a root
// folder of their own.
struct LoggerEnvironment {
    using Clock = std::chrono::system_clock;

    // The current time.
    std::function<Clock::time_point()> now;
    // The user defaults. Called at most once per logger, when a setting is
    // first needed.
    std::function<UserDefaults()> loadUserDefaults;
    // "LogFileName" of the program's information dictionary; empty: none.
    std::string bundleLogFileName;
    // Where the logger's "/" lies: every path it chooses ("/tmp/lockstep",
    // the home folder, "LogFolderPath") is resolved below this folder.
    // Empty or "/" is the real root.
    std::filesystem::path root;
    // The real user ID of the process.
    std::function<std::uint32_t()> realUserID;
    // The home folder of a user from the user database; nothing when the
    // user has no entry.
    std::function<std::optional<std::string>(std::uint32_t)> homeFolderForUser;
    // The same by user name, for "~name" in "LogFolderPath"; unset: no user
    // is known by name.
    std::function<std::optional<std::string>(const std::string&)> homeFolderForUserName;
    // Process name and ID for the process tag of each file line.
    std::string processName;
    std::int64_t processID = 0;
    // Standard error (the echo) and standard output (long repeat runs).
    std::function<void(std::string_view)> writeStandardError;
    std::function<void(std::string_view)> writeStandardOutput;
    // When set, sees every line handed to logString before anything else
    // happens to it. Only tests set it.
    std::function<void(std::string_view, std::int64_t)> lineObserver;

    // The machine itself: system clock, the standard user defaults, the real
    // root, getuid, getpwuid_r and getpwnam_r, the program's name and ID, and
    // file descriptors 2 and 1.
    [[nodiscard]] static LoggerEnvironment system();
};

// The file side of the log calls: drops debug lines unless "showDebug" is
// set, echoes lines to standard error, folds a line repeated within two
// seconds into a count, and appends lines with a timestamp and process tag to
// a log file it places itself. Used through one shared instance from one
// thread; not safe for concurrent use.
//
// The log folder is opened once per choice (never through a symbolic link)
// and the file is reached through that descriptor, so no path component can
// be swapped between the checks and the writes. A folder that is not owned by
// root, 92 or the process's user, or that others may write, counts as not
// writable; so does a file that is not a regular file, has more than one hard
// link, or is not owned by the process's user or 92. A path that is not
// writable, and stays so when chosen again, gives way to a fresh temporary
// folder: lines are never dropped for want of a safe file while one can be
// made.
class MDLUnifiedLogger {
  public:
    using Clock = LoggerEnvironment::Clock;

    // Earlier than every real timestamp.
    static constexpr Clock::time_point kDistantPast = Clock::time_point::min();

    // Folding window and the count beyond which repeats also go to standard
    // output.
    static constexpr std::chrono::milliseconds kRepeatWindow{2000};
    static constexpr std::int64_t kStandardOutputRepeatThreshold = 1000;

    // A logger on the given environment. It has no log file until
    // updateLogPath() runs.
    explicit MDLUnifiedLogger(LoggerEnvironment environment);
    // Writes a repeat count that is still pending.
    ~MDLUnifiedLogger();
    MDLUnifiedLogger(const MDLUnifiedLogger&) = delete;
    MDLUnifiedLogger& operator=(const MDLUnifiedLogger&) = delete;

    // The one shared logger. Created on first call on the system
    // environment, with its log path chosen and lastLoggedDate in the distant
    // past. It is never destroyed; a repeat count still pending when the
    // process exits is written to the file by an exit handler.
    static MDLUnifiedLogger& sharedLogger();

    // Chooses the log folder and file name, sets logFileURL, creates the
    // folder (0770, owner 92) when it is missing, and opens it. A folder that
    // is not safe to write in is replaced by a fresh temporary one.
    void updateLogPath();

    // Takes one finished line at a level (0 error, 1 information, 2 debug).
    // Reports no failure.
    void logString(std::string_view line, std::int64_t level);

    // Writes a pending repeat report to the log file now, if there is one.
    void flushPendingRepeats();

    // The real-file-system path of a path as the logger sees it (below the
    // environment's root).
    [[nodiscard]] std::filesystem::path hostPath(const std::filesystem::path& path) const;

    // Properties. logFolderName and logFileName are kept for callers; the
    // logger itself neither sets nor reads them.
    [[nodiscard]] const std::filesystem::path& logFileURL() const { return logFileURL_; }
    void setLogFileURL(std::filesystem::path url) { logFileURL_ = std::move(url); }
    [[nodiscard]] const std::string& logFolderName() const { return logFolderName_; }
    void setLogFolderName(std::string name) { logFolderName_ = std::move(name); }
    [[nodiscard]] const std::string& logFileName() const { return logFileName_; }
    void setLogFileName(std::string name) { logFileName_ = std::move(name); }
    [[nodiscard]] bool suppressDebug() const { return suppressDebug_; }
    void setSuppressDebug(bool suppress) { suppressDebug_ = suppress; }
    [[nodiscard]] const std::optional<std::string>& lastLine() const { return lastLine_; }
    void setLastLine(std::optional<std::string> line) { lastLine_ = std::move(line); }
    [[nodiscard]] Clock::time_point lastLoggedDate() const { return lastLoggedDate_; }
    void setLastLoggedDate(Clock::time_point date) { lastLoggedDate_ = date; }
    [[nodiscard]] std::int64_t repeated() const { return repeated_; }
    void setRepeated(std::int64_t count) { repeated_ = count; }

    [[nodiscard]] const LoggerEnvironment& environment() const { return environment_; }

  private:
    const UserDefaults& userDefaults();
    [[nodiscard]] std::optional<std::string> realHomeFolder() const;
    [[nodiscard]] std::optional<std::filesystem::path> folderSetting();
    [[nodiscard]] std::string fileNameSetting();
    // Opens `folder` as the log folder when it is safe; false otherwise.
    bool adoptFolder(const std::filesystem::path& folder);
    // Makes and adopts a fresh "/tmp/tessel-XXXXXX" folder.
    bool adoptFreshFolder();
    [[nodiscard]] ScopedFD openLogFile() const;

    LoggerEnvironment environment_;
    std::optional<UserDefaults> userDefaults_;
    bool choosingNewPath_ = false;
    // The folder of logFileURL, opened when it was chosen; the file's name.
    ScopedFD folder_;
    std::string fileName_;

    std::filesystem::path logFileURL_;
    std::string logFolderName_;
    std::string logFileName_;
    bool suppressDebug_ = false;
    std::optional<std::string> lastLine_;
    Clock::time_point lastLoggedDate_ = kDistantPast;
    std::int64_t repeated_ = 0;
};

// Makes `logger` the shared logger for the lifetime of this object; for
// tests, which must not write to the machine's log folder.
class ScopedSharedLogger {
  public:
    explicit ScopedSharedLogger(MDLUnifiedLogger& logger);
    ~ScopedSharedLogger();
    ScopedSharedLogger(const ScopedSharedLogger&) = delete;
    ScopedSharedLogger& operator=(const ScopedSharedLogger&) = delete;

  private:
    MDLUnifiedLogger* previous_;
};

// The checks behind the logger's settings, shared with the tools that check
// a configuration before a run.

// "LogFolderPath" with a leading "~" (the home folder of `realHome`) or
// "~name" (of `homeForName`) expanded; nothing when the user is unknown or the
// result is not an absolute path.
[[nodiscard]] std::optional<std::filesystem::path> expandLogFolderPath(
    std::string_view setting, const std::function<std::optional<std::string>()>& realHome,
    const std::function<std::optional<std::string>(const std::string&)>& homeForName);

// Whether a "LogFileName" is one plain name: not empty, not "." or "..", no
// "/" and no NUL.
[[nodiscard]] bool isPlainLogFileName(std::string_view name);

// Why the logger would not write in `folder` for a process whose effective
// user is `user`, in words ("does not exist", "is a symbolic link", "is owned
// by user 1000, not root, 92 or the user", ...); nothing when it would. The
// folder is opened without following a link; when it is safe and `opened` is
// given, it is left open there.
[[nodiscard]] std::optional<std::string> logFolderProblem(const std::filesystem::path& folder,
                                                          std::uint32_t user,
                                                          ScopedFD* opened = nullptr);

// Formats a time in the local time zone as an ISO 8601 internet date-time,
// e.g. "2024-05-01T13:45:07+02:00", or "...Z" for a zero offset.
[[nodiscard]] std::string iso8601Timestamp(LoggerEnvironment::Clock::time_point time);

}  // namespace lockstep
