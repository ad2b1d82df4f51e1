#include <gtest/gtest.h>

#include <string>

#include "log/log.h"
#include "support/log_capture.h"

namespace lockstep::testing {
namespace {

struct LineCase {
    std::string message;
    std::string file;
    std::int64_t line;
    std::string expected;
};

class BuildLogLineTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(BuildLogLineTest, BuildsTheLine) {
    const auto& c = GetParam();
    EXPECT_EQ(buildLogLine(c.message, c.file, c.line, "f()"), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, BuildLogLineTest,
    ::testing::Values(LineCase{"x", "/src/tool.src", 49, "      tool.src:49 f() x"},
                      LineCase{"", "/src/tool.src", 49, "tool.src:49 f() "},
                      LineCase{"x", "tool.src", 7, "      tool.src:7 f() x"},
                      LineCase{"", "tool.src", 7, "tool.src:7 f() "},
                      LineCase{"x", "/src/dir/", 3, "      :3 f() x"},
                      LineCase{"", "/src/dir/", 3, ":3 f() "},
                      LineCase{"x", "a/b.cpp", -12, "      b.cpp:-12 f() x"},
                      LineCase{"x", "a/b.cpp", 0, "      b.cpp:0 f() x"},
                      LineCase{"two\nlines", "b.cpp", 1, "      b.cpp:1 f() two\nlines"}));

TEST(LogCallsTest, EachLevelReachesTheSystemLogPrefixedAndEscaped) {
    LogCapture capture;
    MDLLogErrorWithMark("e\nrr", "/x/a.cpp", 1, "f()");
    MDLLogInfoWithMark("in\nfo", "/x/a.cpp", 2, "g()");
    MDLLogWithMark("de\nbug", "/x/a.cpp", 3, "h()");

    const std::vector<RecordingSystemLog::Entry> expected{
        {LogType::Default, "LOCKSTEP_LOG:      a.cpp:1 f() e\\nrr"},
        {LogType::Default, "LOCKSTEP_LOG:      a.cpp:2 g() in\\nfo"},
        {LogType::Default, "LOCKSTEP_LOG:      a.cpp:3 h() de\\nbug"},
    };
    EXPECT_EQ(capture.systemEntries(), expected);

    // The file logger gets the unescaped line at the call's level.
    const std::vector<LoggedLine> lines{
        {kLogLevelError, "      a.cpp:1 f() e\nrr"},
        {kLogLevelInfo, "      a.cpp:2 g() in\nfo"},
        {kLogLevelDebug, "      a.cpp:3 h() de\nbug"},
    };
    EXPECT_EQ(capture.lines(), lines);
    EXPECT_NE(capture.logFileContents().find("):       a.cpp:3 h() de\nbug\n"), std::string::npos)
        << capture.logFileContents();
}

TEST(LogCallsTest, DebugReachesTheSystemLogWithoutShowDebugButNotTheFile) {
    LogCapture capture(LogCapture::Options{.showDebug = false});
    MDLLogWithMark("quiet", "a.cpp", 5, "f()");
    EXPECT_TRUE(capture.systemContains("LOCKSTEP_LOG:      a.cpp:5 f() quiet"));
    EXPECT_TRUE(capture.contains(kLogLevelDebug, "quiet"));
    EXPECT_EQ(capture.standardError(), "");
    EXPECT_EQ(capture.logFileContents().find("quiet"), std::string::npos);
}

TEST(LogCallsTest, DisabledSystemLogStillFeedsTheFileLogger) {
    LogCapture capture;
    capture.systemLog().enabled = false;
    logInfoLine("only the file");
    EXPECT_TRUE(capture.systemEntries().empty());
    EXPECT_EQ(capture.standardError(), "only the file\n");
}

TEST(LogCallsTest, OsLogGoesOnlyToTheSystemLogUnchanged) {
    LogCapture capture;
    osLog(LogType::Error, "raw\nmessage");
    const std::vector<RecordingSystemLog::Entry> expected{{LogType::Error, "raw\nmessage"}};
    EXPECT_EQ(capture.systemEntries(), expected);
    EXPECT_TRUE(capture.lines().empty());
}

TEST(LogCaptureTest, OrderHelpers) {
    LogCapture capture;
    LOCKSTEP_LOG_INFO("first", "f()");
    LOCKSTEP_LOG_ERROR("second", "f()");
    LOCKSTEP_LOG_INFO("first", "f()");
    EXPECT_EQ(capture.indexOf("second"), 1U);
    EXPECT_EQ(capture.indexOf("third"), std::nullopt);
    EXPECT_EQ(capture.count("first"), 2U);
    EXPECT_TRUE(capture.containsInOrder({"first", "second", "first"}));
    EXPECT_FALSE(capture.containsInOrder({"second", "second"}));
    EXPECT_TRUE(capture.contains(kLogLevelError, "second"));
    EXPECT_FALSE(capture.contains(kLogLevelError, "first"));
    capture.clear();
    EXPECT_TRUE(capture.lines().empty());
}

TEST(LogCaptureTest, NestedCapturesRestoreTheOuterOne) {
    LogCapture outer;
    {
        LogCapture inner;
        LOCKSTEP_LOG_INFO("inner", "f()");
        EXPECT_TRUE(inner.contains("inner"));
    }
    LOCKSTEP_LOG_INFO("outer", "f()");
    EXPECT_FALSE(outer.contains("inner"));
    EXPECT_TRUE(outer.contains("outer"));
}

TEST(TestRunLoggingTest, WithoutCaptureLogsStayInATemporaryFolder) {
    MDLUnifiedLogger& logger = MDLUnifiedLogger::sharedLogger();
    const auto file = logger.hostPath(logger.logFileURL());
    EXPECT_NE(file.string().rfind("/tmp/lockstep/", 0), 0U) << file;
    EXPECT_NE(logger.environment().root, std::filesystem::path());
    EXPECT_FALSE(dynamic_cast<SyslogSystemLog*>(&systemLog()));
}

}  // namespace
}  // namespace lockstep::testing
