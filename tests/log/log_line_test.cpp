#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "log/log.h"
#include "support/log_capture.h"

namespace lockstep::testing {
namespace {

TEST(BuildLogLineTest, PadsNonEmptyMessagesAndKeepsTheFileNameOnly) {
    const std::vector<std::tuple<std::string, std::string, std::int64_t, std::string>> cases{
        {"x", "/src/tool.src", 49, "      tool.src:49 f() x"},
        {"", "/src/tool.src", 49, "tool.src:49 f() "},
        {"x", "/src/dir/", 3, "      :3 f() x"}};
    for (const auto& [message, file, line, expected] : cases) {
        EXPECT_EQ(buildLogLine(message, file, line, "f()"), expected);
    }
}

// Debug lines reach the system log even without "showDebug".
TEST(LogCallsTest, EachLevelReachesTheSystemLogPrefixedAndEscapedAndTheFileLoggerUnescaped) {
    LogCapture capture(false);
    MDLLogErrorWithMark("e\nrr", "/x/a.cpp", 1, "f()");
    MDLLogInfoWithMark("in\nfo", "/x/a.cpp", 2, "g()");
    MDLLogWithMark("de\nbug", "/x/a.cpp", 3, "h()");
    EXPECT_EQ(capture.systemEntries(),
              (std::vector<RecordingSystemLog::Entry>{
                  {LogType::Default, "LOCKSTEP_LOG:      a.cpp:1 f() e\\nrr"},
                  {LogType::Default, "LOCKSTEP_LOG:      a.cpp:2 g() in\\nfo"},
                  {LogType::Default, "LOCKSTEP_LOG:      a.cpp:3 h() de\\nbug"}}));
    EXPECT_EQ(capture.lines(),
              (std::vector<LoggedLine>{{kLogLevelError, "      a.cpp:1 f() e\nrr"},
                                       {kLogLevelInfo, "      a.cpp:2 g() in\nfo"},
                                       {kLogLevelDebug, "      a.cpp:3 h() de\nbug"}}));
    EXPECT_EQ(capture.standardError(), "      a.cpp:1 f() e\nrr\n      a.cpp:2 g() in\nfo\n");
}

}  // namespace
}  // namespace lockstep::testing
