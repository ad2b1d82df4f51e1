// The run flow in process, on a real keychain and real account files in a
// temporary folder, with the stand-in restart tool and a recording log.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <functional>
#include <map>

#include "daemon/run_record.h"
#include "fault_fixtures.h"
#include "support/directory_fixture.h"
#include "support/log_capture.h"

namespace lockstep::testing {
namespace {

namespace fs = std::filesystem;
using Result = RunOutcome::Result;

constexpr char kSecret[] = "S3cret-8f2e horse";
const PasswordDaemon kEnrolment{.setUser = true, .user = kUser, .password = kSecret};

// Every kind of run prints its lines and replaces the record of the last run
// with what `lockstepctl status` needs to tell why a restart was not armed.
// The password shows in no record, log line or system log entry.
TEST(RunFlow, EachRunRecordsItsOutcome) {
    if (const auto reason = untrustedTestProgramsReason()) {
        GTEST_SKIP() << *reason;
    }
    TempDir dir;
    TestDirectory accounts(dir / "machine");
    accounts.addUser(kUser, kSecret, 501);
    const PasswordDaemon wrong{.setUser = true, .user = kUser, .password = "not it"};
    std::string accents;  // 150 two-byte characters: the kept line ends on a whole one
    for (int i = 0; i < 150; ++i) {
        accents += "\xc3\xa9";
    }
    const fs::path unsafeTool = dir / "unsafe/fdesetup";
    writeFile(unsafeTool, readFile(LOCKSTEP_TEST_HELPERS_DIR "/fake_fdesetup"), fs::perms(0755));
    fs::permissions(unsafeTool.parent_path(), fs::perms(0777));
    struct Case {
        const char* name;
        bool enrolFirst;
        PasswordDaemon command;
        std::map<std::string, std::string> tool;  // the stand-in's steering
        std::string printed;
        Result result;
        std::function<void(const RunOutcome&)> check;
    };
    const std::vector<Case> cases = {
        {"enrolment",
         false,
         kEnrolment,
         {{"FAKE_FDESETUP_OUTPUT", "1:\n  Restart armed. \nmore"}},
         kEnrolled,
         Result::armed,
         [&](const RunOutcome& run) {
             EXPECT_TRUE(run.enrolment && run.armed);
             EXPECT_EQ(run.keychain,
                       (RunOutcome::Keychain{true, dir / "enrolment/System.keychain"}));
             EXPECT_EQ(run.tool->exit, (ExitStatus{true, 0}));
             EXPECT_EQ(run.tool->firstLine, "Restart armed.");
             EXPECT_FALSE(run.tool->timedOut || run.tool->unsafeBecause);
         }},
        {"wrong password",
         true,
         wrong,
         {},
         kEnrolling + "incorrect password\n",
         Result::incorrectPassword,
         [](const RunOutcome& run) { EXPECT_FALSE(run.keychain || run.tool); }},
        {"tool refusing",
         true,
         {},
         {{"FAKE_FDESETUP_END", "1"}, {"FAKE_FDESETUP_OUTPUT", "2:" + accents + "\n2:x"}},
         kNotArmed,
         Result::notArmed,
         [&](const RunOutcome& run) {
             EXPECT_EQ(run.tool->exit, (ExitStatus{true, 1}));
             EXPECT_EQ(run.tool->firstLine, accents.substr(0, 200));
             EXPECT_FALSE(run.enrolment);
         }},
        {"tool killed for time",
         true,
         {},
         {{"FAKE_FDESETUP_HANG", "ignore-term"}},
         kNotArmed,
         Result::notArmed,
         [](const RunOutcome& run) {
             EXPECT_TRUE(run.tool->timedOut && run.tool->killed);
             EXPECT_EQ(run.tool->exit, (ExitStatus{false, SIGKILL}));
             EXPECT_GE(run.tool->duration, std::chrono::milliseconds(400));
         }},
        {"unsafe tool",
         true,
         {},
         {{"unsafe", ""}},
         kNotArmed,
         Result::notArmed,
         [&](const RunOutcome& run) {
             EXPECT_EQ(run.tool->tool, unsafeTool);
             EXPECT_NE(run.tool->unsafeBecause.value_or("").find("is writable by group or others"),
                       std::string::npos);
             EXPECT_FALSE(run.tool->exit);
         }},
        {"no credential",
         false,
         {},
         {},
         "",
         Result::noCredential,
         [](const RunOutcome& run) {
             EXPECT_TRUE(run.keychain && run.keychain->system);
             EXPECT_FALSE(run.tool);
         }},
    };
    LogCapture capture;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path keychains = dir / c.name;
        TestMachine machine(accounts.root(), keychains);
        machine.runRecord = keychains / "last-run";
        machine.toolLimits =
            ChildLimits{std::chrono::milliseconds(200), std::chrono::milliseconds(200),
                        std::chrono::milliseconds(100), 64 * 1024};
        if (c.enrolFirst) {
            ASSERT_EQ(machine.run(kEnrolment), kEnrolled);
        }
        for (const auto& [name, value] : c.tool) {
            ::setenv(name.c_str(), value.c_str(), 1);
        }
        machine.tool = c.tool.contains("unsafe") ? unsafeTool : machine.tool;
        const auto before = std::chrono::system_clock::now();
        EXPECT_EQ(machine.run(c.command), c.printed);
        for (const auto& [name, value] : c.tool) {
            ::unsetenv(name.c_str());
        }
        std::string why;
        const auto run = readRunRecord(machine.runRecord, &why);
        ASSERT_TRUE(run) << why;
        EXPECT_EQ(run->result, c.result);
        // The record holds the last printed line and the account.
        EXPECT_EQ(run->resultLine + (c.printed.empty() ? "" : "\n"),
                  c.printed.substr(c.printed.rfind('\n', c.printed.size() - 2) + 1));
        EXPECT_EQ(run->account, c.result == Result::noCredential ? "" : kUser);
        EXPECT_LE(std::chrono::abs(run->time - before), std::chrono::seconds(2));
        c.check(*run);
        // Root's alone, with no temporary file left beside it.
        struct stat info {};
        ASSERT_EQ(::stat(machine.runRecord.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777U, 0600U);
        for (const auto& entry : fs::directory_iterator(keychains)) {
            EXPECT_FALSE(entry.path().filename().string().starts_with(".")) << entry.path();
        }
        EXPECT_EQ(readFile(machine.runRecord).find(kSecret), std::string::npos);
    }
    ASSERT_TRUE(capture.systemContains("setting new password success"));
    for (const auto& entry : capture.systemEntries()) {
        EXPECT_EQ(entry.message.find(kSecret), std::string::npos) << entry.message;
    }
    EXPECT_FALSE(capture.contains(kSecret));
    EXPECT_EQ(capture.logFileContents().find(kSecret), std::string::npos);

    // A record that cannot be written changes nothing else, and is logged.
    TestMachine machine(accounts.root(), dir / "tool refusing");
    machine.runRecord = dir / "missing/folder/last-run";
    EXPECT_EQ(machine.run({}), kArmed);
    EXPECT_TRUE(capture.contains(
        kLogLevelError, "Cannot record the run in " + machine.runRecord.string() + ": cannot make"))
        << capture.dump();
}

}  // namespace
}  // namespace lockstep::testing
