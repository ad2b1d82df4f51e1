// The run flow in process, on a real keychain and real account files in a
// temporary folder, with the stand-in restart tool.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <map>
#include <regex>
#include <sstream>

#include "daemon/password_daemon.h"
#include "daemon/run_record.h"
#include "platform/directory/local_directory.h"
#include "platform/keychain/sqlite_keychain.h"
#include "platform/process.h"
#include "support/child_mode.h"
#include "support/daemon_sandbox.h"
#include "support/kill_vfs.h"
#include "support/log_capture.h"

namespace lockstep::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr char kUser[] = "alice";
constexpr char kSecret[] = "S3cret-8f2e horse";
const std::string kArmed = "Successfully authenticated with FileVault\n";
const std::string kNotArmed = "Failed to authenticate with FileVault\n";
const std::string kEnrolled = "alice ********\n" + kArmed;
const PasswordDaemon kEnrolment{.setUser = true, .user = kUser, .password = kSecret};

// The account files under `accounts`, a System and a login keychain in
// `keychains` and the stand-in restart tool. The accounts root is trusted as
// the calling program, so every keychain copy gets the same access list.
struct TestMachine {
    TestMachine(const fs::path& accounts, const fs::path& keychains)
        : keychain({.systemKeychainPath = keychains / "System.keychain",
                    .userKeychainPath = keychains / "login.keychain",
                    .callingProgramPath = accounts}),
          directory(accounts),
          context{.keychain = keychain,
                  .directory = directory,
                  .fdesetupPath = trustedTestProgram("fake_fdesetup"),
                  .bundlePath = accounts,
                  .machineRoot = accounts} {}
    // Runs one command as lockstepd would; gives what it printed.
    [[nodiscard]] std::string run(const PasswordDaemon& command) {
        std::ostringstream out;
        command.run(context, out);
        return out.str();
    }

    SqliteKeychainService keychain;
    LocalDirectoryService directory;
    Context context;  // records no run unless given a runRecordPath
};

// The record of a run in one line, the test's folder written as DIR.
std::string summary(const RunOutcome& run, const fs::path& dir) {
    std::ostringstream out;
    out << resultName(run.result) << (run.enrolment ? " enrolment " : " ") << run.account
        << (run.armed ? " armed" : "") << (run.keychain ? " system" : "");
    if (const auto& tool = run.tool) {
        out << " tool";
        if (tool->exit) out << (tool->exit->exited ? " exit " : " signal ") << tool->exit->code;
        out << (tool->timedOut ? " timed out" : "") << (tool->killed ? " killed" : "") << " '"
            << tool->firstLine << "'" << (tool->unsafeBecause ? " " + *tool->unsafeBecause : "");
    }
    return std::regex_replace(out.str(), std::regex(dir.string()), "DIR");
}

// Every kind of run prints its lines and replaces the record of the last run
// with what `lockstepctl status` needs to tell why a restart was not armed.
// The password shows in no record.
TEST(RunFlow, EachRunRecordsItsOutcome) {
    if (const auto reason = untrustedTestProgramsReason()) {
        GTEST_SKIP() << *reason;
    }
    TrustedTempDir dir;  // root-only above: only "unsafe" below is unsafe
    TestDirectory accounts(dir / "machine");
    accounts.addUser(kUser, kSecret, 501);
    std::string accents;  // 150 two-byte characters: the kept line ends on a whole one
    for (int i = 0; i < 150; ++i) accents += "\xc3\xa9";
    const fs::path unsafeTool = dir / "unsafe/fdesetup";
    writeFile(unsafeTool, readFile(LOCKSTEP_TEST_HELPERS_DIR "/fake_fdesetup"), fs::perms(0755));
    fs::permissions(unsafeTool.parent_path(), fs::perms(0777));
    // Runs but the first enrolment and the one on an empty machine follow an
    // enrolment; a password makes the run an enrolment.
    const struct {
        const char* name;
        std::string password, printed, record;
        std::map<std::string, std::string> tool = {};  // the stand-in's steering
    } cases[] = {
        {"enrolment",
         kSecret,
         kEnrolled,
         "armed enrolment alice armed system tool exit 0 'Restart armed.'",
         {{"FAKE_FDESETUP_OUTPUT", "1:\n  Restart armed. \nmore"}}},
        {"wrong password", "not it", "alice ********\nincorrect password\n",
         "incorrectPassword enrolment alice"},
        {"tool refusing",
         "",
         kNotArmed,
         "notArmed alice system tool exit 1 '" + accents.substr(0, 200) + "'",
         {{"FAKE_FDESETUP_END", "1"}, {"FAKE_FDESETUP_OUTPUT", "2:" + accents + "\n2:x"}}},
        {"tool killed for time",
         "",
         kNotArmed,
         "notArmed alice system tool signal 9 timed out killed ''",
         {{"FAKE_FDESETUP_HANG", "ignore-term"}}},
        {"unsafe tool",
         "",
         kNotArmed,
         "notArmed alice system tool '' folder DIR/unsafe is writable by group or others (mode "
         "0777)",
         {{"unsafe", ""}}},
        {"no credential", "", "", "noCredential  system"},
    };
    LogCapture capture;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path keychains = dir / c.name;
        TestMachine machine(accounts.root(), keychains);
        machine.context.runRecordPath = keychains / "last-run";
        machine.context.toolLimits = ChildLimits{200ms, 200ms, 100ms, 64 * 1024};
        if (c.printed != kEnrolled && !c.printed.empty()) {
            ASSERT_EQ(machine.run(kEnrolment), kEnrolled);
        }
        for (const auto& [name, value] : c.tool) ::setenv(name.c_str(), value.c_str(), 1);
        machine.context.fdesetupPath =
            c.tool.contains("unsafe") ? unsafeTool : machine.context.fdesetupPath;
        const auto before = std::chrono::system_clock::now();
        EXPECT_EQ(
            machine.run({.setUser = !c.password.empty(), .user = kUser, .password = c.password}),
            c.printed);
        for (const auto& [name, value] : c.tool) ::unsetenv(name.c_str());
        std::string why;
        const auto run = readRunRecord(machine.context.runRecordPath, &why);
        ASSERT_TRUE(run) << why;
        EXPECT_EQ(summary(*run, dir.path()), c.record);
        // The record holds the last printed line.
        EXPECT_EQ(run->resultLine + (c.printed.empty() ? "" : "\n"),
                  c.printed.substr(c.printed.rfind('\n', c.printed.size() - 2) + 1));
        EXPECT_LE(std::chrono::abs(run->time - before), std::chrono::seconds(2));
        // Root's alone, with no temporary file left beside it.
        EXPECT_EQ(fs::status(machine.context.runRecordPath).permissions(), fs::perms(0600));
        EXPECT_TRUE(std::ranges::none_of(fs::directory_iterator(keychains), [](const auto& entry) {
            return entry.path().filename().string().starts_with(".");
        }));
        EXPECT_EQ(readFile(machine.context.runRecordPath).find(kSecret), std::string::npos);
    }

    // A record that cannot be written changes nothing else, and is logged.
    TestMachine machine(accounts.root(), dir / "tool refusing");
    machine.context.runRecordPath = dir / "missing/folder/last-run";
    EXPECT_EQ(machine.run({}), kArmed);
    EXPECT_TRUE(capture.contains(
        kLogLevelError,
        "Cannot record the run in " + machine.context.runRecordPath.string() + ": cannot make"))
        << capture.dump();
}

constexpr char kOldPassword[] = "old password 7f3a";
constexpr char kNewPassword[] = "new password 91c4";

// The child of the cut test: enrols on a copy of the keychains and kills
// itself right after its N-th write, sync, truncation or deletion of a
// keychain file or journal.
[[maybe_unused]] ::testing::Environment* const enrolmentChild =
    addChildMode("LOCKSTEP_CUT_AT", [](const char* at) {
        kill_vfs::install();
        const fs::path keychains = std::getenv("TMPDIR");  // accounts beside it
        TestMachine machine(keychains.parent_path() / "machine", keychains);
        kill_vfs::arm(std::atoi(at));
        const PasswordDaemon command{.setUser = true, .user = kUser, .password = kNewPassword};
        return machine.run(command) == kEnrolled ? 0 : 3;
    });

// Cut at every third step, a killed enrolment leaves a keychain that opens,
// is intact and holds exactly what it held before or exactly what the whole
// enrolment leaves.
TEST(KilledEnrolment, LeavesTheOldOrTheNewKeychain) {
    TempDir dir;
    TestDirectory old(dir / "old"), accounts(dir / "machine");
    old.addUser(kUser, kOldPassword, 501);
    accounts.addUser(kUser, kNewPassword, 501);
    ASSERT_EQ(TestMachine(old.root(), dir / "base")
                  .run({.setUser = true, .user = kUser, .password = kOldPassword}),
              kEnrolled);
    const KeychainContents before = readKeychain(dir / "base/System.keychain");
    std::vector<KeychainContents> cut;
    for (int at = 1;; at += 3) {
        ASSERT_LE(at, 500) << "the enrolment never ran to its end";
        const fs::path run = dir / ("cut-" + std::to_string(at));
        fs::copy(dir / "base", run, fs::copy_options::recursive);
        ::setenv("TMPDIR", run.c_str(), 1);
        ::setenv("LOCKSTEP_CUT_AT", std::to_string(at).c_str(), 1);
        auto child = spawnProcess({.program = fs::read_symlink("/proc/self/exe").string(),
                                   .arguments = {},
                                   .input = ChildStream::Null,
                                   .output = ChildStream::Null});
        ::unsetenv("LOCKSTEP_CUT_AT");
        ::unsetenv("TMPDIR");
        ASSERT_TRUE(child.process) << child.errorDescription();
        const ExitStatus status = child.process->wait().value_or(ExitStatus{});
        cut.push_back(readKeychain(run / "System.keychain"));
        if (status.exited) {
            ASSERT_EQ(status.code, 0);
            break;
        }
        ASSERT_EQ(status.code, SIGKILL);
    }
    const KeychainContents after = cut.back();
    ASSERT_EQ(std::tuple(after.openStatus, after.items.size(), after.items.back().password),
              std::tuple(0, 1U, kNewPassword));
    EXPECT_EQ(std::count_if(cut.begin(), cut.end(),
                            [&](const auto& k) { return k == before || k == after; }),
              std::ssize(cut));
}

}  // namespace
}  // namespace lockstep::testing
