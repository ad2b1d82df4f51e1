#include <gtest/gtest.h>

#include <string>

#include "ctl/commands.h"
#include "support/temp_dir.h"

namespace lockstep::testing {
namespace {

constexpr const char* kFind = "findPassword(serviceName:accountName:keychain:)";
constexpr const char* kUpdate =
    "updatePassword(serviceName:accountName:pass:keychainPassword:keychain:)";

std::string line(const std::string& time, const std::string& tag, const std::string& function,
                 const std::string& message) {
    return time + " " + tag + ":       file.cpp:1 " + function + " " + message + "\n";
}

TEST(LastOutcome, NewestLineOfTheDaemonWins) {
    TempDir dir;
    writeFile(dir / "generic.log",
              line("2026-12-06T10:00:00Z", "lockstepd(10)", "run()",
                   "Successfully authenticated with FileVault") +
                  line("2026-12-06T10:05:00Z", "lockstepd(11)", kUpdate,
                       "setting new password FAILURE: accountname:alice") +
                  // lockstepctl logs the same messages; they are not runs.
                  line("2026-12-06T10:06:00Z", "lockstepctl(12)", kFind,
                       "Lockstep not found in keychain") +
                  "2026-12-06T10:06:01Z:Last message repeated 3 times\n" +
                  line("2026-12-06T10:07:00Z", "lockstepd(13)", "run()", "something else") +
                  line("2026-12-06T10:08:00Z", "lockstepd(14)", "other()",
                       "Successfully authenticated with FileVault"));
    const ctl::LogFinding finding = ctl::findLastOutcome(dir / "generic.log");
    ASSERT_TRUE(finding.readable);
    ASSERT_TRUE(finding.lastOutcome);
    EXPECT_EQ(finding.lastOutcome->time, "2026-12-06T10:05:00Z");
    EXPECT_EQ(finding.lastOutcome->message, "setting new password FAILURE: accountname:alice");
}

TEST(LastOutcome, EachOutcomeIsRecognised) {
    TempDir dir;
    for (const auto& [function, message] : std::vector<std::pair<std::string, std::string>>{
             {"run()", "Failed to authenticate with FileVault"},
             {kFind, "Lockstep not found in keychain"},
         }) {
        writeFile(dir / "generic.log", line("T", "lockstepd(1)", function, message));
        const auto finding = ctl::findLastOutcome(dir / "generic.log");
        ASSERT_TRUE(finding.lastOutcome) << message;
        EXPECT_EQ(finding.lastOutcome->message, message);
    }
}

TEST(LastOutcome, MissingFileAndFileWithoutOutcome) {
    TempDir dir;
    auto finding = ctl::findLastOutcome(dir / "generic.log");
    EXPECT_FALSE(finding.readable);
    EXPECT_EQ(finding.error, "no log file yet");

    writeFile(dir / "generic.log", "just text\n\n");
    finding = ctl::findLastOutcome(dir / "generic.log");
    EXPECT_TRUE(finding.readable);
    EXPECT_FALSE(finding.lastOutcome);

    std::filesystem::create_symlink(dir / "generic.log", dir / "link.log");
    EXPECT_FALSE(ctl::findLastOutcome(dir / "link.log").readable);
}

// Only the end of a large file is read, and its cut first line is ignored.
TEST(LastOutcome, LargeFileIsReadFromItsEnd) {
    TempDir dir;
    const std::string early = line("2026-01-01T00:00:00Z", "lockstepd(1)", "run()",
                                   "Failed to authenticate with FileVault");
    std::string filler;
    while (filler.size() < 5U * 1024U * 1024U) {
        filler += "2026-01-01T00:00:01Z lockstepd(1):       file.cpp:1 f() filler line\n";
    }
    writeFile(dir / "generic.log", early + filler);
    EXPECT_FALSE(ctl::findLastOutcome(dir / "generic.log").lastOutcome);

    writeFile(dir / "generic.log", early + filler +
                                       line("2026-02-02T00:00:00Z", "lockstepd(2)", "run()",
                                            "Successfully authenticated with FileVault"));
    const auto finding = ctl::findLastOutcome(dir / "generic.log");
    ASSERT_TRUE(finding.lastOutcome);
    EXPECT_EQ(finding.lastOutcome->time, "2026-02-02T00:00:00Z");
}

}  // namespace
}  // namespace lockstep::testing
