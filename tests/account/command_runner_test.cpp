#include "account/command_runner.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace lockstep::testing {
namespace {

using Words = std::vector<std::string>;

std::string helper(const char* name) {
    return std::string(LOCKSTEP_TEST_HELPERS_DIR) + "/" + name;
}

std::string repeated(std::string_view piece, std::size_t count) {
    std::string result;
    for (std::size_t i = 0; i < count; ++i) {
        result += piece;
    }
    return result;
}

// Puts the stand-in programs first on PATH, for lookups by name.
class HelpersOnPath {
  public:
    HelpersOnPath() {
        const char* path = ::getenv("PATH");
        saved_ = path == nullptr ? "" : path;
        ::setenv("PATH", (std::string(LOCKSTEP_TEST_HELPERS_DIR) + ":" + saved_).c_str(), 1);
    }
    ~HelpersOnPath() { ::setenv("PATH", saved_.c_str(), 1); }
    HelpersOnPath(const HelpersOnPath&) = delete;
    HelpersOnPath& operator=(const HelpersOnPath&) = delete;

  private:
    std::string saved_;
};

struct SplitCase {
    std::string command;
    Words words;
};

class SplitCommandLineTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitCommandLineTest, SplitsAtSpacesAndJoinsEscapedOnes) {
    EXPECT_EQ(splitCommandLine(GetParam().command), GetParam().words);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitCommandLineTest,
    ::testing::Values(SplitCase{"/sbin/ifconfig -a", {"/sbin/ifconfig", "-a"}},
                      SplitCase{"prog", {"prog"}}, SplitCase{"", {""}},
                      SplitCase{"p a  b", {"p", "a", "", "b"}},  // doubled space
                      SplitCase{"p ", {"p", ""}}, SplitCase{"p a\\ b", {"p", "a b"}},
                      SplitCase{"p a\\ b\\ c d", {"p", "a b c", "d"}},
                      SplitCase{"my\\ prog x", {"my prog", "x"}},
                      SplitCase{"p a\\b\\ c", {"p", "a b c"}},    // every backslash of the word
                      SplitCase{"p a\\b c", {"p", "a\\b", "c"}},  // not at the end: kept
                      SplitCase{"p a\\", {"p", "a "}},            // nothing left to join
                      SplitCase{"p a\\  b", {"p", "a ", "b"}}));  // joined with the empty word

TEST(CliTaskTest, RunsTheSplitCommandLine) {
    EXPECT_EQ(cliTask(helper("print_args") + " a\\ b  c", std::nullopt, true), "[a b]\n[]\n[c]\n");
    EXPECT_EQ(cliTaskNoTerm(helper("print_args") + " x\\ y z"), "[x y]\n[z]\n");
}

TEST(CliTaskTest, ArgumentListIsUsedUnchanged) {
    EXPECT_EQ(cliTask(helper("print_args"), Words{"a\\ b", "", "c d"}, true),
              "[a\\ b]\n[]\n[c d]\n");
}

TEST(CliTaskTest, ProgramWithoutSlashIsLookedUpByName) {
    HelpersOnPath path;
    EXPECT_EQ(which("print_args"), helper("print_args"));
    EXPECT_EQ(cliTask("print_args one two", std::nullopt, true), "[one]\n[two]\n");
    EXPECT_EQ(cliTask("print_args", Words{"x"}, false), "[x]\n");
}

TEST(CliTaskTest, UnknownProgramGivesEmptyText) {
    LogCapture capture;
    EXPECT_EQ(cliTask("lockstep-no-such-program arg", std::nullopt, true), "");
    EXPECT_EQ(cliTaskNoTerm("lockstep-no-such-program"), "");
    EXPECT_EQ(cliTask("/nonexistent/program", std::nullopt, true), "");
    const RecordingSystemLog::Entry expected{LogType::Default, "Binary doesn't exist"};
    EXPECT_THAT(capture.systemEntries(), ::testing::Contains(expected).Times(2));
    EXPECT_TRUE(capture.lines().empty()) << capture.dump();
}

TEST(WhichTest, GivesTheFirstLineOfTheLookup) {
    TempDir dir;
    writeFile(dir / "which", "#!/bin/sh\nprintf '/first/%s\\n/second/%s\\n' \"$1\" \"$1\"\n",
              std::filesystem::perms(0755));
    LogCapture capture;
    EXPECT_EQ(which("tool", dir / "which"), "/first/tool");
    EXPECT_TRUE(capture.systemEntries().empty());
}

TEST(CliTaskTest, CollectsLargeOutputWhole) {
    const std::string output =
        cliTask(helper("noisy_child"), Words{"0", "e", "1048576", "o"}, true);
    EXPECT_EQ(output.size(), 1048576U);
    EXPECT_EQ(output.find_first_not_of('o'), std::string::npos);
}

TEST(CliTaskTest, ChildFillingStandardErrorFirstDoesNotStall) {
    // 1 MiB of standard error, far beyond a pipe's buffer, before any output.
    const std::string output =
        cliTask(helper("noisy_child"), Words{"1048576", "e", "3", "o"}, true);
    EXPECT_EQ(output, "ooo" + repeated("e", 1048576));
    EXPECT_EQ(cliTaskNoTerm(helper("noisy_child") + " 1048576 e 3 o"), "ooo");
}

TEST(CliTaskTest, KeepsCharactersSplitAcrossReads) {
    // 9-byte pattern of 2-, 3- and 4-byte characters, written 1001 bytes at a
    // time: nearly every write ends inside a character.
    const std::string pattern = "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    const std::string output =
        cliTask(helper("noisy_child"), Words{"20000", pattern, "100000", pattern}, true);
    EXPECT_EQ(output, repeated(pattern, 100000) + repeated(pattern, 20000));
}

TEST(CliTaskTest, ReplacesIllFormedBytes) {
    EXPECT_EQ(cliTask(helper("noisy_child"),
                      Words{"1", "\xE2\x82", "1",
                            "a\xFF"
                            "b"},
                      true),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD");
}

TEST(CliTaskTest, ChildSeesEndOfInput) {
    EXPECT_EQ(cliTask(helper("cat_stdin"), Words{}, true), "");
}

TEST(CliTaskTest, CompletionReceivesOutputThenErrorOnce) {
    int calls = 0;
    std::string received;
    {
        CliTaskHandle handle =
            cliTask(helper("noisy_child"), Words{"2", "e", "3", "o", "4"}, [&](std::string text) {
                ++calls;
                received = std::move(text);
            });
    }  // the handle joins the worker
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(received, "oooee");
}

TEST(CliTaskTest, CompletionRunsOnceWhenTheProgramCannotStart) {
    int calls = 0;
    std::string received = "unset";
    CliTaskHandle handle = cliTask("/nonexistent/program", std::nullopt, [&](std::string text) {
        ++calls;
        received = std::move(text);
    });
    handle.wait();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(received, "");
}

}  // namespace
}  // namespace lockstep::testing
