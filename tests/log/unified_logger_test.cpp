#include "log/unified_logger.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <sstream>
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
const std::regex kFresh("/tmp/tessel-[^/]{6}");

// A file logger on a machine of its own: a root folder, a hand-moved clock,
// settings, user IDs and home folders, and recorded standard error and
// output. Timestamps are in UTC.
struct Machine {
    Machine() {
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
    [[nodiscard]] LoggerEnvironment environment() {
        LoggerEnvironment environment;
        environment.now = [this] { return now; };
        environment.loadUserDefaults = [this] { return ++defaultsLoads, UserDefaults({settings}); };
        environment.root = root.path();
        environment.realUserID = [this] { return uid; };
        environment.homeFolderForUser = [](std::uint32_t user) -> std::optional<std::string> {
            return user == kAlice ? "/home/alice"
                   : user == 0    ? "/root"
                                  : std::optional<std::string>();
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
    [[nodiscard]] std::string file() const { return readFile(host(kFile)); }

    TempDir root;
    Clock::time_point now = kStart;
    UserDefaults::Domain settings;
    std::uint32_t uid = 0;
    std::string standardError, standardOutput;
    int defaultsLoads = 0;
    MDLUnifiedLogger logger{environment()};
};

std::string fileLine(const std::string& timestamp, const std::string& line) {
    return timestamp + " lockstepd(4242): " + line + "\n";
}
std::string report(const std::string& timestamp, int count) {
    return timestamp + ":Last message repeated " + std::to_string(count) + " times\n";
}

// Every line that passes the debug gate is echoed, folded or not. A repeat
// within two seconds of the last written line is folded; the count is written
// before the next different line. Steps are "MILLISECONDS:LINE", "d" before
// the line for a debug one.
TEST(UnifiedLoggerTest, EchoesWritesAndFoldsRepeats) {
    const std::string t1 = "2023-11-14T22:13:21Z", t2 = "2023-11-14T22:13:22Z";
    const struct {
        bool showDebug;
        std::string steps, file;
        int pending;  // the fold count not yet written
    } cases[] = {
        {false, "0:same 500:same 500:same 500:other",
         fileLine(kT0, "same") + report(t1, 2) + fileLine(t1, "other"), 0},
        // Exactly 2.0 s after the written line still folds; folding does not
        // move the window.
        {false, "0:tick 1000:tick 1000:tick 1:tick",
         fileLine(kT0, "tick") + report(t2, 2) + fileLine(t2, "tick"), 0},
        // Without showDebug debug lines leave no trace, not even in the fold.
        {false, "0:a 0:a 5000:ddebug 0:da", fileLine(kT0, "a"), 1},
        {true, "0:ddbg 0:ddbg", fileLine(kT0, "dbg"), 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.steps);
        Machine m;
        m.settings["showDebug"] = std::string(c.showDebug ? "yes" : "no");
        m.logger.updateLogPath();
        std::string echoed;
        std::istringstream steps(c.steps);
        for (std::string step; steps >> step;) {
            const std::size_t colon = step.find(':');
            const bool debug = step[colon + 1] == 'd';
            m.now += milliseconds(std::stoi(step.substr(0, colon)));
            m.logger.logString(step.substr(colon + 1 + debug),
                               debug ? kLogLevelDebug : kLogLevelInfo);
            echoed += c.showDebug || !debug ? step.substr(colon + 1 + debug) + "\n" : "";
        }
        m.logger.updateLogPath();
        EXPECT_EQ(std::tuple(m.file(), m.standardError, m.logger.repeated(), m.defaultsLoads),
                  std::tuple(c.file, echoed, c.pending, 1));  // the settings are read once
    }
}

void giveAway(const fs::path& path) {
    ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
}

mode_t modeOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return ::geteuid() == 0 && info.st_uid != 92 ? 0 : info.st_mode & 07777;  // owner 92 for root
}

// The log folder and the folder above it are made 0770 and the file 0660,
// whatever the umask; the first line is never folded. A log folder removed
// meanwhile is made again at the same place.
TEST(UnifiedLoggerTest, MakesTheFolderAndFileWithTheirModes) {
    Machine m;
    const mode_t savedMask = ::umask(022);
    m.logger.updateLogPath();
    m.logger.setLastLine("a");
    m.logger.logString("a", kLogLevelInfo);
    ::umask(savedMask);
    EXPECT_EQ(m.file(), fileLine(kT0, "a"));
    EXPECT_EQ(std::vector(
                  {modeOf(m.host("/tmp")), modeOf(m.host("/tmp/lockstep")), modeOf(m.host(kFile))}),
              std::vector<mode_t>({0770, 0770, 0660}));
    EXPECT_EQ(m.logger.lastLoggedDate(), kStart);
    fs::remove_all(m.host("/tmp/lockstep"));
    m.logger.logString("b", kLogLevelInfo);
    EXPECT_EQ(std::pair(m.logger.logFileURL(), m.file()), std::pair(kFile, fileLine(kT0, "b")));
}

// A run of more than 1002 repeats also goes to standard output; the count
// is written by a flush, or when the logger ends.
TEST(UnifiedLoggerTest, LongRunsAlsoGoToStandardOutputAndCountsAreWrittenByFlushOrAtTheEnd) {
    Machine m;
    {
        MDLUnifiedLogger logger(m.environment());
        logger.updateLogPath();
        for (int i = 0; i < 1004; ++i) {
            logger.logString("spam", kLogLevelInfo);
            EXPECT_EQ(m.standardOutput, i < 1002 ? "" : i == 1002 ? "spam\n" : "spam\nspam\n");
        }
        logger.flushPendingRepeats();
        logger.flushPendingRepeats();
        EXPECT_EQ(m.file(), fileLine(kT0, "spam") + report(kT0, 1003));
        for (int i = 0; i < 3; ++i) logger.logString("last", kLogLevelInfo);
        m.now += milliseconds(3000);
    }  // the logger ends with a count pending
    EXPECT_EQ(m.file(), fileLine(kT0, "spam") + report(kT0, 1003) + fileLine(kT0, "last") +
                            report("2023-11-14T22:13:23Z", 2));
}

// Puts something unsafe at the log file or folder.
void plant(std::string_view what, const fs::path& log, const fs::path& target) {
    const fs::path folder = log.parent_path();
    if (what == "symlink") fs::create_symlink(target, log);
    if (what == "hard link") fs::create_hard_link(target, log);
    if (what == "folder") fs::create_directory(log);
    if (what == "FIFO") static_cast<void>(::mkfifo(log.c_str(), 0666));
    if (what == "file of another user") writeFile(log, "forged\n"), giveAway(log);
    if (what == "folder of another user") giveAway(folder);
    if (what == "folder is a link")
        fs::rename(folder, target.string() + ".d"),
            fs::create_symlink(target.string() + ".d", folder);
    if (what == "folder writable by all") fs::permissions(folder, fs::perms(01777));
}

// The log folder: an existing set one, else one by user, else a fresh
// temporary one. Something unsafe at the log folder or file is not written
// through nor into, blocks nothing, and the lines go to a fresh folder: an
// unsafe folder is refused when the path is chosen, a file only when it is
// opened, which chooses the path again once (and reports that).
TEST(LogPathTest, ChoosesASafeFolder) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only root can give files away";
    }
    const UserDefaults::Value none = UserDefaults::Other{};
    const struct {
        std::uint32_t uid;
        UserDefaults::Value logFolderPath;  // Other: no setting
        std::vector<std::string> existing;  // folders made before the choice
        std::string expected;               // "tessel": a fresh temporary folder
        const char* plant = nullptr;        // something unsafe at /tmp/lockstep
        bool tmp = true;                    // whether "/tmp" exists
    } cases[] = {
        {kAlice, "/var/custom", {"/var/custom"}, "/var/custom"},
        {kAlice, "~/Logs", {"/home/alice/Logs"}, "/home/alice/Logs"},
        {kAlice, "~bob/Logs", {"/home/bob/Logs"}, "/home/bob/Logs"},
        {0, "~carol/Logs", {"/home/carol/Logs"}, "/tmp/lockstep"},  // no such user
        {0, "var/custom", {"/var/custom"}, "/tmp/lockstep"},        // relative: not set
        {0, "/nope", {}, "/tmp/lockstep"},                          // missing setting folder
        {92, none, {}, "/tmp/lockstep"},
        {kAlice, none, {"/home/alice/Library/Logs"}, "/home/alice/Library/Logs"},
        {kAlice, none, {"/home/alice"}, "tessel"},
        {777, none, {}, "tessel"},  // no home folder entry
        // No temporary folder can be made: Library/Logs is kept, and made;
        // without a home folder either, nothing is written.
        {kAlice, none, {}, "/home/alice/Library/Logs", nullptr, false},
        {777, none, {}, "", nullptr, false},
        {0, none, {}, "tessel", "symlink"},
        {0, none, {}, "tessel", "hard link"},
        {0, none, {}, "tessel", "folder"},
        {0, none, {}, "tessel", "FIFO"},
        {0, none, {}, "tessel", "file of another user"},
        {0, none, {}, "tessel", "folder of another user"},
        {0, none, {}, "tessel", "folder is a link"},
        {0, none, {}, "tessel", "folder writable by all"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        Machine m;
        m.uid = c.uid;
        m.settings = {{"LogFolderPath", c.logFolderPath}, {"showDebug", true}};
        fs::create_directories(m.host(c.tmp ? "/tmp" : "/"));
        for (const auto& folder : c.existing) {
            fs::create_directories(m.host(folder));
            fs::permissions(m.host(folder), fs::perms(0755));
        }
        const fs::path log = m.host(kFile), target = m.root / "target";
        if (c.plant != nullptr) {
            fs::create_directories(log.parent_path());
            fs::permissions(log.parent_path(), fs::perms(0770));
            writeFile(target, "original\n");
            plant(c.plant, log, target);
        }
        const auto kind = fs::symlink_status(log).type();
        const ScopedFD reader(kind == fs::file_type::fifo
                                  ? ::open(log.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)
                                  : -1);
        const ScopedSharedLogger loggerScope(m.logger);  // the path report re-enters it
        m.logger.updateLogPath();
        m.logger.logString("x", kLogLevelInfo);

        const fs::path file = m.logger.logFileURL(), folder = file.parent_path();
        EXPECT_TRUE(c.expected == "tessel" ? std::regex_match(folder.string(), kFresh)
                                           : folder == c.expected)
            << folder;
        const std::string written = readFile(m.host(file));
        const bool nothing = c.expected.empty();
        EXPECT_EQ(std::tuple(file.filename(), written.ends_with(fileLine(kT0, "x")),
                             fs::is_empty(m.root.path()),
                             written.find("Updated log file path") != std::string::npos),
                  std::tuple(nothing ? "" : "generic.log", !nothing, nothing,
                             c.plant != nullptr && kind != fs::file_type::not_found));
        // Nothing was written through or into what stood there.
        EXPECT_TRUE(c.plant == nullptr ||
                    (readFile(target) == "original\n" && fs::symlink_status(log).type() == kind));
        EXPECT_TRUE(kind != fs::file_type::directory || fs::is_empty(log));
        EXPECT_TRUE(kind != fs::file_type::regular || readFile(log) == "forged\n" ||
                    readFile(log) == "original\n");
        char buffer[16];
        EXPECT_TRUE(!reader || ::read(reader.get(), buffer, sizeof buffer) <= 0);
        for (const auto& existing : c.existing) {  // folders made before keep their mode
            EXPECT_EQ(fs::status(m.host(existing)).permissions(), fs::perms(0755)) << existing;
        }
        // Each choice of a temporary folder makes a fresh one.
        m.logger.updateLogPath();
        EXPECT_EQ(m.logger.logFileURL().parent_path() == folder, c.expected != "tessel");
    }
}

TEST(LogPathTest, FileNameIsOnePlainName) {
    // The file name comes from the settings, then the program, then the
    // default; one that is not one plain name counts as not set.
    for (const auto& [setting, bundle, expected] :
         std::vector<std::tuple<UserDefaults::Value, std::string, std::string>>{
             {std::string("mine.log"), "bundle.log", "mine.log"},
             {std::string(""), "bundle.log", "bundle.log"},
             {std::int64_t{5}, "", "generic.log"},  // wrong kind: as if absent
             {std::string("/var/lib/abs.log"), "bundle.log", "bundle.log"},
             {std::string("."), "..", "generic.log"},
             {std::string(".."), "sub/b.log", "generic.log"},
             {std::string("nul\0.log", 8), "/abs", "generic.log"}}) {
        Machine m;
        m.settings["LogFileName"] = setting;
        LoggerEnvironment environment = m.environment();
        environment.bundleLogFileName = bundle;
        MDLUnifiedLogger logger(environment);
        logger.updateLogPath();
        EXPECT_EQ(logger.logFileURL(), fs::path("/tmp/lockstep") / expected) << expected;
    }
}

}  // namespace
}  // namespace lockstep::testing
