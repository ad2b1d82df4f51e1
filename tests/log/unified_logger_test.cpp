#include "log/unified_logger.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "fake_machine.h"
#include "log/log.h"
#include "support/temp_dir.h"

namespace lockstep::testing {
namespace {

using std::chrono::milliseconds;

constexpr const char* kT0 = "2023-11-14T22:13:20Z";
constexpr const char* kFile = "/tmp/lockstep/generic.log";

std::string fileLine(const std::string& timestamp, const std::string& line) {
    return timestamp + " lockstepd(4242): " + line + "\n";
}

std::string report(const std::string& timestamp, int count) {
    return timestamp + ":Last message repeated " + std::to_string(count) + " times\n";
}

class UnifiedLoggerTest : public ::testing::Test {
  protected:
    UnifiedLoggerTest() { logger.updateLogPath(); }

    std::string file() const { return readFile(machine.host(kFile)); }

    UtcEnvironment utc;
    FakeMachine machine;
    MDLUnifiedLogger logger{machine.environment()};
};

TEST_F(UnifiedLoggerTest, WritesTimestampProcessTagAndLine) {
    logger.logString("hello", kLogLevelInfo);
    EXPECT_EQ(file(), fileLine(kT0, "hello"));
    EXPECT_EQ(machine.standardError, "hello\n");
    EXPECT_EQ(logger.lastLine(), "hello");
    EXPECT_EQ(logger.lastLoggedDate(), machine.now);
}

TEST_F(UnifiedLoggerTest, FirstLineIsNeverFolded) {
    logger.setLastLine("same");
    logger.logString("same", kLogLevelError);
    EXPECT_EQ(file(), fileLine(kT0, "same"));
    EXPECT_EQ(logger.repeated(), 0);
}

TEST_F(UnifiedLoggerTest, ThreeIdenticalLinesGiveOneFileLineThenTheReport) {
    logger.logString("same", kLogLevelInfo);
    machine.advance(milliseconds(500));
    logger.logString("same", kLogLevelInfo);
    machine.advance(milliseconds(500));
    logger.logString("same", kLogLevelInfo);
    EXPECT_EQ(file(), fileLine(kT0, "same"));
    EXPECT_EQ(logger.repeated(), 2);
    // Every line that passes the gate is echoed, folded or not.
    EXPECT_EQ(machine.standardError, "same\nsame\nsame\n");

    machine.advance(milliseconds(500));
    logger.logString("other", kLogLevelInfo);
    const std::string t = "2023-11-14T22:13:21Z";
    EXPECT_EQ(file(), fileLine(kT0, "same") + report(t, 2) + fileLine(t, "other"));
    EXPECT_EQ(logger.repeated(), 0);
    EXPECT_EQ(logger.lastLine(), "other");
}

TEST_F(UnifiedLoggerTest, WindowCountsFromTheLastWrittenLine) {
    logger.logString("tick", kLogLevelInfo);
    for (int i = 0; i < 2; ++i) {
        machine.advance(milliseconds(1000));
        logger.logString("tick", kLogLevelInfo);
    }
    // Exactly 2.0 s after the written line still folds, and folding did not
    // move the window.
    EXPECT_EQ(logger.repeated(), 2);
    EXPECT_EQ(logger.lastLoggedDate(), FakeMachine::Clock::from_time_t(1'700'000'000));

    machine.advance(milliseconds(1));
    logger.logString("tick", kLogLevelInfo);
    const std::string t = "2023-11-14T22:13:22Z";
    EXPECT_EQ(file(), fileLine(kT0, "tick") + report(t, 2) + fileLine(t, "tick"));
    EXPECT_EQ(logger.repeated(), 0);
}

TEST_F(UnifiedLoggerTest, DifferentLineWithinTheWindowIsWrittenAtOnce) {
    logger.logString("a", kLogLevelInfo);
    logger.logString("b", kLogLevelError);
    logger.logString("a", kLogLevelInfo);
    EXPECT_EQ(file(), fileLine(kT0, "a") + fileLine(kT0, "b") + fileLine(kT0, "a"));
}

TEST_F(UnifiedLoggerTest, DebugWithoutShowDebugLeavesNoTrace) {
    logger.logString("a", kLogLevelInfo);
    logger.logString("a", kLogLevelInfo);
    const auto before = file();
    machine.advance(milliseconds(5000));
    logger.logString("debug", kLogLevelDebug);
    logger.logString("a", kLogLevelDebug);
    EXPECT_EQ(file(), before);
    EXPECT_EQ(machine.standardError, "a\na\n");
    EXPECT_EQ(logger.repeated(), 1);
    EXPECT_EQ(logger.lastLine(), "a");
    EXPECT_EQ(logger.lastLoggedDate(), FakeMachine::Clock::from_time_t(1'700'000'000));
}

TEST(UnifiedLoggerDebugTest, DebugWithShowDebugIsEchoedFoldedAndWritten) {
    UtcEnvironment utc;
    FakeMachine machine;
    machine.showDebug(true);
    MDLUnifiedLogger logger(machine.environment());
    logger.updateLogPath();
    logger.logString("dbg", kLogLevelDebug);
    logger.logString("dbg", kLogLevelDebug);
    EXPECT_EQ(machine.standardError, "dbg\ndbg\n");
    EXPECT_EQ(logger.repeated(), 1);
    EXPECT_EQ(readFile(machine.host(kFile)), fileLine(kT0, "dbg"));

    // suppressDebug wins over showDebug.
    logger.setSuppressDebug(true);
    logger.logString("hidden", kLogLevelDebug);
    EXPECT_EQ(machine.standardError, "dbg\ndbg\n");
}

TEST(UnifiedLoggerDebugTest, ShowDebugAcceptsTextYes) {
    FakeMachine machine;
    machine.settings["showDebug"] = std::string("yes");
    MDLUnifiedLogger logger(machine.environment());
    logger.updateLogPath();
    logger.logString("dbg", kLogLevelDebug);
    EXPECT_EQ(machine.standardError, "dbg\n");
}

TEST_F(UnifiedLoggerTest, LongRepeatRunsAlsoGoToStandardOutput) {
    logger.logString("spam", kLogLevelInfo);
    for (int i = 0; i < 1001; ++i) {
        logger.logString("spam", kLogLevelInfo);
    }
    EXPECT_EQ(logger.repeated(), 1001);
    EXPECT_EQ(machine.standardOutput, "");
    logger.logString("spam", kLogLevelInfo);
    logger.logString("spam", kLogLevelInfo);
    EXPECT_EQ(machine.standardOutput, "spam\nspam\n");
    EXPECT_EQ(file(), fileLine(kT0, "spam"));
}

TEST(UnifiedLoggerExitTest, PendingCountIsWrittenWhenTheLoggerEnds) {
    UtcEnvironment utc;
    FakeMachine machine;
    {
        MDLUnifiedLogger logger(machine.environment());
        logger.updateLogPath();
        logger.logString("last", kLogLevelInfo);
        logger.logString("last", kLogLevelInfo);
        logger.logString("last", kLogLevelInfo);
        machine.advance(milliseconds(3000));
    }
    EXPECT_EQ(readFile(machine.host(kFile)),
              fileLine(kT0, "last") + report("2023-11-14T22:13:23Z", 2));
}

TEST_F(UnifiedLoggerTest, FlushWritesThePendingCountOnce) {
    logger.flushPendingRepeats();
    EXPECT_EQ(file(), "");
    logger.logString("x", kLogLevelInfo);
    logger.logString("x", kLogLevelInfo);
    logger.flushPendingRepeats();
    logger.flushPendingRepeats();
    EXPECT_EQ(file(), fileLine(kT0, "x") + report(kT0, 1));
    EXPECT_EQ(logger.repeated(), 0);
    EXPECT_EQ(logger.lastLine(), "");
}

TEST_F(UnifiedLoggerTest, SettingsAreReadOnce) {
    for (int i = 0; i < 5; ++i) {
        logger.logString("line " + std::to_string(i), kLogLevelDebug);
        logger.logString("line " + std::to_string(i), kLogLevelInfo);
    }
    logger.updateLogPath();
    EXPECT_EQ(machine.defaultsLoads, 1);
}

TEST(UnifiedLoggerSharedTest, ScopedSharedLoggerSwapsAndRestores) {
    FakeMachine machine;
    MDLUnifiedLogger& before = MDLUnifiedLogger::sharedLogger();
    {
        MDLUnifiedLogger logger(machine.environment());
        const ScopedSharedLogger scope(logger);
        EXPECT_EQ(&MDLUnifiedLogger::sharedLogger(), &logger);
    }
    EXPECT_EQ(&MDLUnifiedLogger::sharedLogger(), &before);
}

TEST(TimestampTest, LocalTimeWithOffset) {
    const auto time = FakeMachine::Clock::from_time_t(1'700'000'000) + milliseconds(999);
    {
        UtcEnvironment utc;
        EXPECT_EQ(iso8601Timestamp(time), "2023-11-14T22:13:20Z");
    }
    const std::optional<std::string> saved =
        ::getenv("TZ") ? std::optional<std::string>(::getenv("TZ")) : std::nullopt;
    for (const auto& [zone, expected] : std::vector<std::pair<std::string, std::string>>{
             {"<+0530>-5:30", "2023-11-15T03:43:20+05:30"},
             {"<-03>3", "2023-11-14T19:13:20-03:00"},
         }) {
        ::setenv("TZ", zone.c_str(), 1);
        ::tzset();
        EXPECT_EQ(iso8601Timestamp(time), expected) << zone;
    }
    if (saved) {
        ::setenv("TZ", saved->c_str(), 1);
    } else {
        ::unsetenv("TZ");
    }
    ::tzset();
}

}  // namespace
}  // namespace lockstep::testing
