#include "log/unified_logger.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <regex>
#include <vector>

#include "log/log.h"
#include "platform/scoped_fd.h"
#include "support/temp_dir.h"

namespace lockstep::testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using Clock = LoggerEnvironment::Clock;

constexpr std::uint32_t kAlice = 501;
const Clock::time_point kStart = Clock::from_time_t(1'700'000'000);
const std::string kT0 = "2023-11-14T22:13:20Z";
const fs::path kFile = "/tmp/lockstep/generic.log";

// A file logger on a machine of its own: a root folder, a hand-moved clock,
// settings (read when the logger first needs them), user IDs and home
// folders, and recorded standard error and output. Timestamps are in UTC.
struct Machine {
    Machine() {
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }

    [[nodiscard]] LoggerEnvironment environment() {
        LoggerEnvironment environment;
        environment.now = [this] { return now; };
        environment.loadUserDefaults = [this] {
            ++defaultsLoads;
            return UserDefaults({settings});
        };
        environment.root = root.path();
        environment.realUserID = [this] { return uid; };
        environment.homeFolderForUser = [this](std::uint32_t user) {
            const auto found = homes.find(user);
            return found == homes.end() ? std::nullopt : std::optional(found->second);
        };
        environment.homeFolderForUserName = [](const std::string& name) {
            return name == "bob" ? std::optional<std::string>("/home/bob") : std::nullopt;
        };
        environment.processName = "lockstepd";
        environment.processID = 4242;
        environment.writeStandardError = [this](std::string_view text) { standardError += text; };
        environment.writeStandardOutput = [this](std::string_view text) { standardOutput += text; };
        return environment;
    }
    // The real path of a path as the logger sees it.
    [[nodiscard]] fs::path host(const fs::path& path) const {
        return root.path() / path.relative_path();
    }
    void log(std::string_view line, std::int64_t level = kLogLevelInfo) {
        logger.logString(line, level);
    }
    [[nodiscard]] std::string file() const { return readFile(host(kFile)); }

    TempDir root;
    Clock::time_point now = kStart;
    UserDefaults::Domain settings;
    std::uint32_t uid = 0;
    std::map<std::uint32_t, std::string> homes{{kAlice, "/home/alice"}, {0, "/root"}};
    std::string standardError;
    std::string standardOutput;
    int defaultsLoads = 0;
    MDLUnifiedLogger logger{environment()};
};

std::string fileLine(const std::string& timestamp, const std::string& line) {
    return timestamp + " lockstepd(4242): " + line + "\n";
}

std::string report(const std::string& timestamp, int count) {
    return timestamp + ":Last message repeated " + std::to_string(count) + " times\n";
}

// ---- Echo, folding and the log file ----

mode_t modeOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return ::geteuid() == 0 && info.st_uid != 92 ? 0 : info.st_mode & 07777;  // owner 92 for root
}

TEST(UnifiedLoggerTest, WritesLinesAndWithoutShowDebugDebugLinesLeaveNoTrace) {
    Machine m;
    const mode_t savedMask = ::umask(022);
    m.logger.updateLogPath();
    m.logger.setLastLine("a");  // the first line is never folded
    m.log("a");
    ::umask(savedMask);
    EXPECT_EQ(m.file(), fileLine(kT0, "a"));
    EXPECT_EQ(m.standardError, "a\n");
    // The log folder and the folder above it, made 0770, and the file 0660.
    EXPECT_EQ(modeOf(m.host("/tmp")), 0770U);
    EXPECT_EQ(modeOf(m.host("/tmp/lockstep")), 0770U);
    EXPECT_EQ(modeOf(m.host(kFile)), 0660U);
    m.log("a");
    m.now += milliseconds(5000);
    m.log("debug", kLogLevelDebug);
    m.log("a", kLogLevelDebug);
    EXPECT_EQ(m.file(), fileLine(kT0, "a"));
    EXPECT_EQ(m.standardError, "a\na\n");
    EXPECT_EQ(m.logger.repeated(), 1);
    EXPECT_EQ(m.logger.lastLine(), "a");
    EXPECT_EQ(m.logger.lastLoggedDate(), kStart);
}

TEST(UnifiedLoggerTest, FoldsRepeatsWithinTwoSecondsOfTheLastWrittenLine) {
    const std::string t1 = "2023-11-14T22:13:21Z", t2 = "2023-11-14T22:13:22Z";
    // Lines, each after waiting some milliseconds; the file and the echo.
    using Steps = std::vector<std::pair<int, std::string>>;
    const std::vector<std::tuple<Steps, std::string, std::string>> cases{
        // Every line that passes the gate is echoed, folded or not; the count
        // is written before the next different line.
        {{{0, "same"}, {500, "same"}, {500, "same"}, {500, "other"}},
         fileLine(kT0, "same") + report(t1, 2) + fileLine(t1, "other"),
         "same\nsame\nsame\nother\n"},
        // Exactly 2.0 s after the written line still folds, and folding does
        // not move the window.
        {{{0, "tick"}, {1000, "tick"}, {1000, "tick"}, {1, "tick"}},
         fileLine(kT0, "tick") + report(t2, 2) + fileLine(t2, "tick"),
         "tick\ntick\ntick\ntick\n"},
        // A different line within the window is written at once.
        {{{0, "a"}, {0, "b"}, {0, "a"}},
         fileLine(kT0, "a") + fileLine(kT0, "b") + fileLine(kT0, "a"),
         "a\nb\na\n"}};
    for (const auto& [steps, file, standardError] : cases) {
        Machine m;
        m.logger.updateLogPath();
        for (const auto& [wait, line] : steps) {
            m.now += milliseconds(wait);
            m.log(line);
        }
        EXPECT_EQ(m.file(), file);
        EXPECT_EQ(m.standardError, standardError);
        EXPECT_EQ(m.logger.repeated(), 0);
    }
}

TEST(UnifiedLoggerTest, DebugWithShowDebugIsEchoedFoldedAndWritten) {
    Machine m;
    m.settings["showDebug"] = std::string("yes");
    m.logger.updateLogPath();
    m.log("dbg", kLogLevelDebug);
    m.log("dbg", kLogLevelDebug);
    EXPECT_EQ(m.standardError, "dbg\ndbg\n");
    EXPECT_EQ(m.logger.repeated(), 1);
    EXPECT_EQ(m.file(), fileLine(kT0, "dbg"));
    m.logger.updateLogPath();
    EXPECT_EQ(m.defaultsLoads, 1);  // the settings are read once
}

TEST(UnifiedLoggerTest, LongRunsAlsoGoToStandardOutputAndCountsAreWrittenByFlushOrAtTheEnd) {
    Machine m;
    {
        MDLUnifiedLogger logger(m.environment());
        logger.updateLogPath();
        logger.flushPendingRepeats();
        EXPECT_EQ(m.file(), "");
        for (int i = 0; i < 1002; ++i) {
            logger.logString("spam", kLogLevelInfo);
        }
        EXPECT_EQ(logger.repeated(), 1001);
        EXPECT_EQ(m.standardOutput, "");
        logger.logString("spam", kLogLevelInfo);
        logger.logString("spam", kLogLevelInfo);
        EXPECT_EQ(m.standardOutput, "spam\nspam\n");
        EXPECT_EQ(m.file(), fileLine(kT0, "spam"));
        logger.flushPendingRepeats();
        logger.flushPendingRepeats();
        EXPECT_EQ(m.file(), fileLine(kT0, "spam") + report(kT0, 1003));
        EXPECT_EQ(logger.repeated(), 0);
        EXPECT_EQ(logger.lastLine(), "");

        for (int i = 0; i < 3; ++i) {
            logger.logString("last", kLogLevelInfo);
        }
        m.now += milliseconds(3000);
    }  // the logger ends with a count pending
    EXPECT_EQ(m.file(), fileLine(kT0, "spam") + report(kT0, 1003) + fileLine(kT0, "last") +
                            report("2023-11-14T22:13:23Z", 2));
}

TEST(TimestampTest, LocalTimeWithOffset) {
    const auto time = kStart + milliseconds(999);
    for (const auto& [zone, expected] : std::vector<std::pair<std::string, std::string>>{
             {"<+0530>-5:30", "2023-11-15T03:43:20+05:30"},
             {"<-03>3", "2023-11-14T19:13:20-03:00"}}) {
        ::setenv("TZ", zone.c_str(), 1);
        ::tzset();
        EXPECT_EQ(iso8601Timestamp(time), expected) << zone;
    }
}

// ---- Where the log file goes ----

TEST(LogPathTest, ChoosesTheFolderAndTheFileName) {
    const UserDefaults::Value none = UserDefaults::Other{};
    const struct {
        std::uint32_t uid;
        UserDefaults::Value logFolderPath;  // Other: no setting
        std::vector<std::string> existing;  // folders made before the choice
        std::string expected;               // "tessel": a fresh temporary folder
        bool tmp = true;                    // whether "/tmp" exists
    } cases[] = {
        {kAlice, "/var/custom", {"/var/custom"}, "/var/custom"},
        {kAlice, "~/Logs", {"/home/alice/Logs"}, "/home/alice/Logs"},
        {kAlice, "~", {"/home/alice"}, "/home/alice"},
        {kAlice, "~bob/Logs", {"/home/bob/Logs"}, "/home/bob/Logs"},
        {0, "~carol/Logs", {"/home/carol/Logs"}, "/tmp/lockstep"},  // no such user
        {0, "~carol", {"~carol"}, "/tmp/lockstep"},                 // not taken literally
        {0, "var/custom", {"/var/custom"}, "/tmp/lockstep"},        // relative: not set
        {0, "/nope", {}, "/tmp/lockstep"},                          // missing setting folder
        {0, "", {}, "/tmp/lockstep"},
        {0, none, {}, "/tmp/lockstep"},
        {92, none, {}, "/tmp/lockstep"},
        {kAlice, none, {"/home/alice/Library/Logs"}, "/home/alice/Library/Logs"},
        {kAlice, none, {"/home/alice"}, "tessel"},
        {kAlice, "/nope", {}, "tessel"},
        {777, none, {}, "tessel"},  // no home folder entry
        {0, none, {"/tmp/lockstep"}, "/tmp/lockstep"},
        // No temporary folder can be made: Library/Logs is kept, and made;
        // without a home folder either, nothing is written.
        {kAlice, none, {}, "/home/alice/Library/Logs", false},
        {777, none, {}, "", false},
    };
    for (const auto& c : cases) {
        Machine m;
        m.uid = c.uid;
        fs::create_directories(m.host(c.tmp ? "/tmp" : "/"));
        m.settings["LogFolderPath"] = c.logFolderPath;
        for (const auto& folder : c.existing) {
            fs::create_directories(m.host(folder));
            fs::permissions(m.host(folder), fs::perms(0755));
        }
        m.logger.updateLogPath();
        m.log("x");
        const fs::path file = m.logger.logFileURL();
        const fs::path folder = file.parent_path();
        EXPECT_TRUE(c.expected == "tessel"
                        ? std::regex_match(folder.string(), std::regex("/tmp/tessel-[^/]{6}"))
                        : folder == c.expected)
            << folder << " for " << c.expected;
        EXPECT_EQ(file.filename(), c.expected.empty() ? "" : "generic.log");
        EXPECT_EQ(readFile(m.host(file)), c.expected.empty() ? "" : fileLine(kT0, "x"));
        EXPECT_EQ(m.standardError, "x\n");
        EXPECT_EQ(fs::is_empty(m.root.path()), c.expected.empty());
        for (const auto& existing : c.existing) {  // folders made before keep their mode
            EXPECT_EQ(fs::status(m.host(existing)).permissions(), fs::perms(0755)) << existing;
        }
        // Each choice of a temporary folder makes a fresh one.
        m.logger.updateLogPath();
        EXPECT_EQ(m.logger.logFileURL().parent_path() == folder, c.expected != "tessel") << folder;
    }

    // The file name comes from the settings, then the program, then the default.
    const std::vector<std::tuple<UserDefaults::Value, std::string, std::string>> names{
        {std::string("mine.log"), "bundle.log", "mine.log"},
        {std::string(""), "bundle.log", "bundle.log"},
        {std::int64_t{5}, "", "generic.log"},  // wrong kind: as if absent
        // Not one plain name: as if not set, in either place.
        {std::string("/var/lib/abs.log"), "bundle.log", "bundle.log"},
        {std::string("../up.log"), "", "generic.log"},
        {std::string("."), "..", "generic.log"},
        {std::string(".."), "sub/b.log", "generic.log"},
        {std::string("nul\0.log", 8), "/abs", "generic.log"}};
    for (const auto& [setting, bundle, expected] : names) {
        Machine m;
        m.settings["LogFileName"] = setting;
        LoggerEnvironment environment = m.environment();
        environment.bundleLogFileName = bundle;
        MDLUnifiedLogger logger(environment);
        logger.updateLogPath();
        EXPECT_EQ(logger.logFileURL(), fs::path("/tmp/lockstep") / expected) << expected;
    }
}

// Something unsafe stands at the log folder or file. The logger must not
// write through it nor into it, must not block, and must not go silent: the
// lines go to a fresh temporary folder. A folder that is unsafe is refused
// when the path is chosen; a file only when it is opened, which chooses the
// path again once (and reports that).
TEST(LogPathTest, UnsafeLogFolderOrFileGivesWayToAFreshFolder) {
    constexpr uid_t kOtherUser = 65534;
    // Plants into the log folder's and file's real paths; `target` is a file
    // outside.
    using Plant = void (*)(const fs::path& folder, const fs::path& log, const fs::path& target);
    const struct {
        std::string name;
        Plant plant;
        bool refusedAtOpen;
    } unsafe[] = {
        {"symbolic link", [](auto&, auto& log, auto& target) { fs::create_symlink(target, log); },
         true},
        {"hard link", [](auto&, auto& log, auto& target) { fs::create_hard_link(target, log); },
         true},
        {"folder", [](auto&, auto& log, auto&) { fs::create_directory(log); }, true},
        {"FIFO with a reader",
         [](auto&, auto& log, auto&) { ASSERT_EQ(::mkfifo(log.c_str(), 0666), 0); }, true},
        {"file of another user",
         [](auto&, auto& log, auto&) {
             writeFile(log, "forged\n", fs::perms(0666));
             ASSERT_EQ(::chown(log.c_str(), kOtherUser, kOtherUser), 0);
         },
         true},
        {"folder of another user",
         [](auto& folder, auto&, auto&) {
             ASSERT_EQ(::chown(folder.c_str(), kOtherUser, kOtherUser), 0);
         },
         false},
        {"folder writable by all",
         [](auto& folder, auto&, auto&) { fs::permissions(folder, fs::perms(01777)); }, false},
    };
    const RecordingSystemLog::Entry retry{LogType::Default, "LOCKSTEP_LOG:Updated log file path"};
    for (const auto& c : unsafe) {
        if (::geteuid() != 0 && c.name.find("another user") != std::string::npos) {
            continue;  // only root can give files away
        }
        Machine m;
        m.settings["showDebug"] = true;  // so that the path report re-enters the logger
        const fs::path folder = m.host("/tmp/lockstep");
        const fs::path log = m.host(kFile);
        const fs::path target = m.root / "target.txt";
        fs::create_directories(folder);
        fs::permissions(folder, fs::perms(0770));
        writeFile(target, "original\n");
        c.plant(folder, log, target);
        const bool withReader = c.name == "FIFO with a reader";
        const ScopedFD reader(withReader ? ::open(log.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)
                                         : -1);
        ASSERT_EQ(static_cast<bool>(reader), withReader);
        const auto kind = fs::symlink_status(log).type();

        RecordingSystemLog recording;
        const ScopedSystemLog systemScope(recording);
        const ScopedSharedLogger loggerScope(m.logger);
        m.logger.updateLogPath();
        logInfoLine("secret-free line");

        EXPECT_EQ(std::ranges::count(recording.entries, retry), c.refusedAtOpen ? 1 : 0) << c.name;
        EXPECT_EQ(readFile(target), "original\n") << c.name;
        EXPECT_EQ(fs::symlink_status(log).type(), kind) << c.name;
        EXPECT_TRUE(!fs::is_directory(log) || fs::is_empty(log)) << c.name;
        EXPECT_TRUE(kind != fs::file_type::regular || readFile(log) == "forged\n" ||
                    readFile(log) == "original\n")
            << c.name;
        char buffer[16];
        EXPECT_TRUE(!reader || ::read(reader.get(), buffer, sizeof buffer) <= 0) << c.name;
        // The lines go to a fresh folder, the path report with them.
        const fs::path chosen = m.logger.logFileURL();
        EXPECT_TRUE(
            std::regex_match(chosen.string(), std::regex("/tmp/tessel-[^/]{6}/generic\\.log")))
            << c.name << ": " << chosen;
        const std::string written = readFile(m.host(chosen));
        EXPECT_NE(written.find("secret-free line"), std::string::npos) << c.name << written;
        EXPECT_EQ(written.find("Updated log file path") != std::string::npos, c.refusedAtOpen)
            << c.name << written;
    }
}

}  // namespace
}  // namespace lockstep::testing
