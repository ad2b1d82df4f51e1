#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "fake_machine.h"
#include "log/log.h"
#include "log/real_home_folder.h"
#include "log/unified_logger.h"
#include "platform/scoped_fd.h"
#include "platform/user_defaults.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace lockstep::testing {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kAlice = 501;

struct FolderCase {
    std::string name;
    std::uint32_t uid;
    std::optional<std::string> logFolderPath;
    std::vector<std::string> existing;  // folders made before the choice
    std::string expected;               // "tessel" for a fresh temporary folder
};

class FolderChoiceTest : public ::testing::TestWithParam<FolderCase> {};

TEST_P(FolderChoiceTest, ChoosesTheFolder) {
    const auto& c = GetParam();
    FakeMachine machine;
    machine.uid = c.uid;
    machine.homes[kAlice] = "/home/alice";
    machine.homes[0] = "/root";
    fs::create_directories(machine.host("/tmp"));
    if (c.logFolderPath) {
        machine.settings["LogFolderPath"] = *c.logFolderPath;
    }
    for (const auto& folder : c.existing) {
        fs::create_directories(machine.host(folder));
    }
    MDLUnifiedLogger logger(machine.environment());
    logger.updateLogPath();
    const fs::path folder = logger.logFileURL().parent_path();
    EXPECT_EQ(logger.logFileURL().filename(), "generic.log");
    if (c.expected == "tessel") {
        EXPECT_EQ(folder.parent_path(), "/tmp");
        EXPECT_EQ(folder.filename().string().rfind("tessel-", 0), 0U) << folder;
        EXPECT_EQ(folder.filename().string().size(), 13U) << folder;
        // Each choice makes a fresh folder.
        logger.updateLogPath();
        EXPECT_NE(logger.logFileURL().parent_path(), folder);
    } else {
        EXPECT_EQ(folder, c.expected);
    }
    EXPECT_TRUE(fs::is_directory(machine.host(folder)));
}

INSTANTIATE_TEST_SUITE_P(
    Folders, FolderChoiceTest,
    ::testing::Values(
        FolderCase{"SettingExists", kAlice, "/var/custom", {"/var/custom"}, "/var/custom"},
        FolderCase{"SettingWithTilde", kAlice, "~/Logs", {"/home/alice/Logs"}, "/home/alice/Logs"},
        FolderCase{"SettingTildeAlone", kAlice, "~", {"/home/alice"}, "/home/alice"},
        FolderCase{"SettingMissingRoot", 0, "/nope", {}, "/tmp/lockstep"},
        FolderCase{"SettingEmptyRoot", 0, "", {}, "/tmp/lockstep"},
        FolderCase{"SettingExistsForRoot", 0, "/var/custom", {"/var/custom"}, "/var/custom"},
        FolderCase{"Root", 0, std::nullopt, {}, "/tmp/lockstep"},
        FolderCase{"User92", 92, std::nullopt, {}, "/tmp/lockstep"},
        FolderCase{"UserWithLibraryLogs",
                   kAlice,
                   std::nullopt,
                   {"/home/alice/Library/Logs"},
                   "/home/alice/Library/Logs"},
        FolderCase{"UserWithoutLibraryLogs", kAlice, std::nullopt, {"/home/alice"}, "tessel"},
        FolderCase{"SettingMissingUser", kAlice, "/nope", {}, "tessel"},
        FolderCase{"UserWithoutHomeEntry", 777, std::nullopt, {}, "tessel"}),
    [](const auto& p) { return p.param.name; });

TEST(LogPathTest, KeepsLibraryLogsWhenNoTemporaryFolderCanBeMade) {
    FakeMachine machine;  // no "/tmp" below the root: mkdtemp fails
    machine.uid = kAlice;
    machine.homes[kAlice] = "/home/alice";
    MDLUnifiedLogger logger(machine.environment());
    logger.updateLogPath();
    EXPECT_EQ(logger.logFileURL(), "/home/alice/Library/Logs/generic.log");
    EXPECT_TRUE(fs::is_directory(machine.host("/home/alice/Library/Logs")));
}

TEST(LogPathTest, WithoutHomeOrTemporaryFolderNothingIsWritten) {
    FakeMachine machine;
    machine.uid = kAlice;
    MDLUnifiedLogger logger(machine.environment());
    logger.updateLogPath();
    EXPECT_EQ(logger.logFileURL(), fs::path());
    logger.logString("still echoed", kLogLevelInfo);
    EXPECT_EQ(machine.standardError, "still echoed\n");
    EXPECT_TRUE(fs::is_empty(machine.root.path()));
}

struct NameCase {
    std::optional<UserDefaults::Value> setting;
    std::string bundle;
    std::string expected;
};

TEST(LogPathTest, FileNameFromSettingsThenBundleThenDefault) {
    const std::vector<NameCase> cases{
        {UserDefaults::Value{std::string("mine.log")}, "bundle.log", "mine.log"},
        {UserDefaults::Value{std::string("")}, "bundle.log", "bundle.log"},
        {UserDefaults::Value{std::int64_t{5}}, "bundle.log", "bundle.log"},
        {std::nullopt, "bundle.log", "bundle.log"},
        {std::nullopt, "", "generic.log"},
        {UserDefaults::Value{std::string("mine.log")}, "", "mine.log"},
    };
    for (const auto& c : cases) {
        FakeMachine machine;
        if (c.setting) {
            machine.settings["LogFileName"] = *c.setting;
        }
        machine.bundleLogFileName = c.bundle;
        MDLUnifiedLogger logger(machine.environment());
        logger.updateLogPath();
        EXPECT_EQ(logger.logFileURL(), fs::path("/tmp/lockstep") / c.expected) << c.expected;
    }
}

mode_t modeOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

uid_t ownerOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info.st_uid;
}

TEST(LogPathTest, CreatesFolderAndFileWithTheirModesAndOwner) {
    FakeMachine machine;
    const mode_t savedMask = ::umask(022);
    MDLUnifiedLogger logger(machine.environment());
    logger.updateLogPath();
    logger.logString("x", kLogLevelInfo);
    ::umask(savedMask);

    EXPECT_EQ(modeOf(machine.host("/tmp")), 0770U);
    EXPECT_EQ(modeOf(machine.host("/tmp/lockstep")), 0770U);
    EXPECT_EQ(modeOf(machine.host("/tmp/lockstep/generic.log")), 0660U);
    if (::geteuid() == 0) {
        EXPECT_EQ(ownerOf(machine.host("/tmp/lockstep")), 92U);
        EXPECT_EQ(ownerOf(machine.host("/tmp/lockstep/generic.log")), 92U);
    }
}

TEST(LogPathTest, LeavesAnExistingFolderAsItIs) {
    FakeMachine machine;
    fs::create_directories(machine.host("/tmp/lockstep"));
    fs::permissions(machine.host("/tmp/lockstep"), fs::perms(0755));
    MDLUnifiedLogger logger(machine.environment());
    logger.updateLogPath();
    logger.logString("x", kLogLevelInfo);
    EXPECT_EQ(modeOf(machine.host("/tmp/lockstep")), 0755U);
    EXPECT_NE(readFile(machine.host("/tmp/lockstep/generic.log")).find("x"), std::string::npos);
}

// Something other than a plain file stands at the log path. The logger must
// not write through it, must choose its path again only once, and must not
// block.
class UnsafeLogPathTest : public ::testing::Test {
  protected:
    UnsafeLogPathTest() {
        machine.showDebug(true);  // so that the path report re-enters the logger
        fs::create_directories(machine.host("/tmp/lockstep"));
        writeFile(target, "original\n");
    }

    // Logs one line through the shared logger and returns the system-log
    // entries it caused.
    std::vector<RecordingSystemLog::Entry> logOnce() {
        RecordingSystemLog recording;
        const ScopedSystemLog systemScope(recording);
        MDLUnifiedLogger logger(machine.environment());
        const ScopedSharedLogger loggerScope(logger);
        logger.updateLogPath();
        logInfoLine("secret-free line");
        EXPECT_EQ(machine.standardError.find("secret-free line"), 0U);
        return recording.entries;
    }

    void expectOneRetryAndNothingWritten() {
        const auto entries = logOnce();
        std::size_t reports = 0;
        for (const auto& entry : entries) {
            reports += entry.message == "LOCKSTEP_LOG:Updated log file path" ? 1U : 0U;
        }
        EXPECT_EQ(reports, 1U);
        EXPECT_EQ(readFile(target), "original\n");
    }

    FakeMachine machine;
    fs::path logPath = machine.host("/tmp/lockstep/generic.log");
    fs::path target = machine.root / "target.txt";
};

TEST_F(UnsafeLogPathTest, SymbolicLinkToAFile) {
    fs::create_symlink(target, logPath);
    expectOneRetryAndNothingWritten();
    EXPECT_TRUE(fs::is_symlink(logPath));
}

TEST_F(UnsafeLogPathTest, DanglingSymbolicLink) {
    const fs::path missing = machine.root / "made-through-link";
    fs::create_symlink(missing, logPath);
    expectOneRetryAndNothingWritten();
    EXPECT_FALSE(fs::exists(missing));
}

TEST_F(UnsafeLogPathTest, HardLink) {
    fs::create_hard_link(target, logPath);
    expectOneRetryAndNothingWritten();
}

TEST_F(UnsafeLogPathTest, Folder) {
    fs::create_directory(logPath);
    expectOneRetryAndNothingWritten();
    EXPECT_TRUE(fs::is_empty(logPath));
}

TEST_F(UnsafeLogPathTest, FifoWithoutReader) {
    ASSERT_EQ(::mkfifo(logPath.c_str(), 0666), 0);
    expectOneRetryAndNothingWritten();
}

TEST_F(UnsafeLogPathTest, FifoWithReader) {
    ASSERT_EQ(::mkfifo(logPath.c_str(), 0666), 0);
    const ScopedFD reader(::open(logPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(reader);
    expectOneRetryAndNothingWritten();
    char buffer[16];
    EXPECT_LE(::read(reader.get(), buffer, sizeof buffer), 0);
}

TEST_F(UnsafeLogPathTest, NewPathIsUsedWhenTheOldOneIsUnsafe) {
    // A user without Library/Logs gets a fresh folder on every choice, so
    // the second choice avoids the link planted at the first.
    machine.uid = kAlice;
    machine.homes[kAlice] = "/home/alice";
    fs::create_directories(machine.host("/tmp"));
    RecordingSystemLog recording;
    const ScopedSystemLog systemScope(recording);
    MDLUnifiedLogger logger(machine.environment());
    const ScopedSharedLogger loggerScope(logger);
    logger.updateLogPath();
    const fs::path first = logger.logFileURL();
    fs::create_symlink(target, machine.host(first));

    logInfoLine("goes elsewhere");
    EXPECT_EQ(readFile(target), "original\n");
    ASSERT_NE(logger.logFileURL(), first);
    const std::string written = readFile(machine.host(logger.logFileURL()));
    EXPECT_NE(written.find("Updated log file path"), std::string::npos) << written;
    EXPECT_NE(written.find("goes elsewhere"), std::string::npos) << written;
}

TEST(RealHomeFolderTest, ComesFromTheUserDatabaseNotHome) {
    const auto expected = homeFolderForUserID(static_cast<std::uint32_t>(::getuid()));
    const char* saved = ::getenv("HOME");
    const std::string savedHome = saved != nullptr ? saved : "";
    ::setenv("HOME", "/somewhere/else", 1);
    const auto home = MDLRealHomeFolder::realHomeFolder();
    if (saved != nullptr) {
        ::setenv("HOME", savedHome.c_str(), 1);
    } else {
        ::unsetenv("HOME");
    }
    EXPECT_EQ(home, expected);
    ASSERT_TRUE(home.has_value());
    EXPECT_NE(*home, "/somewhere/else");
}

}  // namespace
}  // namespace lockstep::testing
