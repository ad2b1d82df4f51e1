#include "account/command_runner.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace lockstep::testing {
namespace {

using Words = std::vector<std::string>;

const std::string kHelpers = LOCKSTEP_TEST_HELPERS_DIR;
const std::string kPrintArgs = kHelpers + "/print_args";
const std::string kNoisy = kHelpers + "/noisy_child";

TEST(CommandRunnerTest, SplitsAtSpacesAndJoinsEscapedOnes) {
    // A doubled or trailing space makes an empty word; every backslash at the
    // end of a word joins it to the next (or to an empty one at the end);
    // other backslashes are kept.
    const std::vector<std::pair<std::string, Words>> cases{
        {"", {""}},
        {"p a  b ", {"p", "a", "", "b", ""}},
        {"my\\ prog a\\ b\\ c d", {"my prog", "a b c", "d"}},
        {"p a\\b\\ c a\\b", {"p", "a b c", "a\\b"}},
        {"p a\\", {"p", "a "}},
        {"p a\\  b", {"p", "a ", "b"}}};
    for (const auto& [command, words] : cases) {
        EXPECT_EQ(splitCommandLine(command), words) << command;
    }
}

TEST(CommandRunnerTest, RunsProgramsFoundByPathOrNameAndGivesEmptyTextForUnknownOnes) {
    EXPECT_EQ(cliTask(kPrintArgs + " a\\ b  c", std::nullopt, true), "[a b]\n[]\n[c]\n");
    // An argument list is used unchanged.
    EXPECT_EQ(cliTask(kPrintArgs, Words{"a\\ b", "", "c d"}, true), "[a\\ b]\n[]\n[c d]\n");
    // A program without a slash is looked up on PATH.
    const std::string savedPath = ::getenv("PATH") != nullptr ? ::getenv("PATH") : "";
    ::setenv("PATH", (kHelpers + ":" + savedPath).c_str(), 1);
    EXPECT_EQ(cliTask("print_args", Words{"x"}, false), "[x]\n");
    ::setenv("PATH", savedPath.c_str(), 1);
    // which gives the first line of the lookup.
    TempDir dir;
    writeFile(dir / "which", "#!/bin/sh\nprintf '/first/%s\\n/second/%s\\n' \"$1\" \"$1\"\n",
              std::filesystem::perms(0755));
    EXPECT_EQ(which("tool", dir / "which"), "/first/tool");
    LogCapture capture;
    EXPECT_EQ(cliTask("lockstep-no-such-program arg", std::nullopt, true), "");
    EXPECT_EQ(cliTaskNoTerm("lockstep-no-such-program"), "");
    EXPECT_EQ(cliTask("/nonexistent/program", std::nullopt, true), "");
    const RecordingSystemLog::Entry expected{LogType::Default, "Binary doesn't exist"};
    EXPECT_THAT(capture.systemEntries(), ::testing::Contains(expected).Times(2));
}

TEST(CommandRunnerTest, CollectsOutputThenErrorWholeCharactersAndCallsCompletionOnce) {
    // 1 MiB of standard error, far beyond a pipe's buffer, before any output.
    EXPECT_TRUE(cliTask(kNoisy, Words{"1048576", "e", "3", "o"}, true) ==
                "ooo" + std::string(1048576, 'e'));
    EXPECT_EQ(cliTaskNoTerm(kNoisy + " 1048576 e 3 o"), "ooo");
    // Ill-formed bytes, and characters cut short, are replaced.
    EXPECT_EQ(cliTask(kNoisy, Words{"1", "\xE2\x82", "1", "a\xFFz"}, true),
              "a\xEF\xBF\xBDz\xEF\xBF\xBD");
    Words received;
    const auto collect = [&](std::string text) { received.push_back(std::move(text)); };
    static_cast<void>(cliTask(kNoisy, Words{"2", "e", "3", "o", "4"}, collect));
    cliTask("/nonexistent/program", std::nullopt, collect).wait();
    EXPECT_EQ(received, (Words{"oooee", ""}));  // also when the program cannot start
}

}  // namespace
}  // namespace lockstep::testing
