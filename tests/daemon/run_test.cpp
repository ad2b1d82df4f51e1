// The run flow in process, on a real keychain and real account files in a
// temporary folder, with the stand-in restart tool.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <map>
#include <sstream>

#include "daemon/password_daemon.h"
#include "daemon/run_record.h"
#include "keychain/keychain_util.h"
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
using Result = RunOutcome::Result;

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
          root(accounts) {}
    [[nodiscard]] Context context() {
        return {.keychain = keychain,
                .directory = directory,
                .fdesetupPath = tool,
                .bundlePath = root,
                .machineRoot = root,
                .runRecordPath = runRecord,
                .toolLimits = toolLimits};
    }
    // Runs one command as lockstepd would; gives what it printed.
    [[nodiscard]] std::string run(const PasswordDaemon& command) {
        std::ostringstream out;
        command.run(context(), out);
        return out.str();
    }

    SqliteKeychainService keychain;
    LocalDirectoryService directory;
    fs::path root;
    fs::path tool = trustedTestProgram("fake_fdesetup");
    fs::path runRecord;  // empty: runs are not recorded
    std::optional<ChildLimits> toolLimits;
};

// The record of a run in one line, the test's folder written as DIR.
std::string summary(const RunOutcome& run, const fs::path& dir) {
    std::ostringstream out;
    out << resultName(run.result) << (run.enrolment ? " enrolment" : "") << " [" << run.resultLine
        << "] " << run.account << (run.armed ? " armed" : "");
    if (run.keychain) {
        out << (run.keychain->system ? " system " : " user ")
            << run.keychain->path.value_or("").string();
    }
    if (const auto& tool = run.tool) {
        out << " tool";
        if (tool->exit) {
            out << (tool->exit->exited ? " exit " : " signal ") << tool->exit->code;
        }
        out << (tool->timedOut ? " timed out" : "") << (tool->killed ? " killed" : "") << " '"
            << tool->firstLine << "'"
            << (tool->unsafeBecause ? " unsafe: " + *tool->unsafeBecause : "");
    }
    std::string text = out.str();
    for (std::size_t at; (at = text.find(dir.string())) != std::string::npos;) {
        text.replace(at, dir.string().size(), "DIR");
    }
    return text;
}

// Every kind of run prints its lines and replaces the record of the last run
// with what `lockstepctl status` needs to tell why a restart was not armed.
// The password shows in no record, log line or system log entry.
TEST(RunFlow, EachRunRecordsItsOutcome) {
    if (const auto reason = untrustedTestProgramsReason()) {
        GTEST_SKIP() << *reason;
    }
    TrustedTempDir dir;  // root-only above: only "unsafe" below is unsafe
    TestDirectory accounts(dir / "machine");
    accounts.addUser(kUser, kSecret, 501);
    std::string accents;  // 150 two-byte characters: the kept line ends on a whole one
    for (int i = 0; i < 150; ++i) {
        accents += "\xc3\xa9";
    }
    const fs::path unsafeTool = dir / "unsafe/fdesetup";
    writeFile(unsafeTool, readFile(LOCKSTEP_TEST_HELPERS_DIR "/fake_fdesetup"), fs::perms(0755));
    fs::permissions(unsafeTool.parent_path(), fs::perms(0777));
    const PasswordDaemon wrong{.setUser = true, .user = kUser, .password = "not it"};
    const struct {
        const char* name;
        bool enrolFirst;
        PasswordDaemon command;
        std::map<std::string, std::string> tool;  // the stand-in's steering
        std::string printed, record;
    } cases[] = {
        {"enrolment",
         false,
         kEnrolment,
         {{"FAKE_FDESETUP_OUTPUT", "1:\n  Restart armed. \nmore"}},
         kEnrolled,
         "armed enrolment [Successfully authenticated with FileVault] alice armed system "
         "DIR/enrolment/System.keychain tool exit 0 'Restart armed.'"},
        {"wrong password",
         true,
         wrong,
         {},
         "alice ********\nincorrect password\n",
         "incorrectPassword enrolment [incorrect password] alice"},
        {"tool refusing",
         true,
         {},
         {{"FAKE_FDESETUP_END", "1"}, {"FAKE_FDESETUP_OUTPUT", "2:" + accents + "\n2:x"}},
         kNotArmed,
         "notArmed [Failed to authenticate with FileVault] alice system DIR/tool "
         "refusing/System.keychain tool exit 1 '" +
             accents.substr(0, 200) + "'"},
        {"tool killed for time",
         true,
         {},
         {{"FAKE_FDESETUP_HANG", "ignore-term"}},
         kNotArmed,
         "notArmed [Failed to authenticate with FileVault] alice system DIR/tool killed for "
         "time/System.keychain tool signal 9 timed out killed ''"},
        {"unsafe tool",
         true,
         {},
         {{"unsafe", ""}},
         kNotArmed,
         "notArmed [Failed to authenticate with FileVault] alice system DIR/unsafe "
         "tool/System.keychain tool '' unsafe: folder DIR/unsafe is writable by group or others "
         "(mode 0777)"},
        {"no credential",
         false,
         {},
         {},
         "",
         "noCredential []  system DIR/no credential/System.keychain"},
    };
    LogCapture capture;
    for (const auto& c : cases) {
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
        EXPECT_EQ(summary(*run, dir.path()), c.record);
        EXPECT_LE(std::chrono::abs(run->time - before), std::chrono::seconds(2));
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
    EXPECT_FALSE(capture.systemContains(kSecret) || capture.contains(kSecret));
    EXPECT_EQ(capture.logFileContents().find(kSecret), std::string::npos);

    // A record that cannot be written changes nothing else, and is logged.
    TestMachine machine(accounts.root(), dir / "tool refusing");
    machine.runRecord = dir / "missing/folder/last-run";
    EXPECT_EQ(machine.run({}), kArmed);
    EXPECT_TRUE(capture.contains(
        kLogLevelError, "Cannot record the run in " + machine.runRecord.string() + ": cannot make"))
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
        TestMachine machine(std::getenv("LOCKSTEP_CUT_ACCOUNTS"), std::getenv("TMPDIR"));
        kill_vfs::arm(std::atoi(at));
        const PasswordDaemon command{.setUser = true, .user = kUser, .password = kNewPassword};
        return machine.run(command) == kEnrolled ? 0 : 3;
    });

// Cut at every third step, a killed enrolment leaves a keychain that opens,
// is intact and holds exactly what it held before or exactly what the whole
// enrolment leaves.
TEST(KilledEnrolment, LeavesTheOldOrTheNewKeychain) {
    TempDir dir;
    TestDirectory accounts(dir / "machine");
    accounts.addUser(kUser, kNewPassword, 501);
    {
        TestMachine machine(accounts.root(), dir / "base");
        SecKeychainRef keychain;
        ASSERT_EQ(
            machine.keychain.SecKeychainCopyDomainDefault(kSecPreferencesDomainSystem, &keychain),
            errSecSuccess);
        ASSERT_NE(KeychainUtil::setPassword(machine.context(), "Other", "user",
                                            std::string(1500, 'o'), "", keychain),
                  nullptr);
        ASSERT_TRUE(KeychainUtil::updatePassword(machine.context(), "Lockstep", kUser, kOldPassword,
                                                 "", keychain));
    }
    const KeychainContents before = readKeychain(dir / "base/System.keychain");
    std::vector<KeychainContents> cut;
    for (int at = 1;; at += 3) {
        ASSERT_LE(at, 500) << "the enrolment never ran to its end";
        const fs::path run = dir / ("cut-" + std::to_string(at));
        fs::copy(dir / "base", run, fs::copy_options::recursive);
        ::setenv("LOCKSTEP_CUT_ACCOUNTS", accounts.root().c_str(), 1);
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
    ASSERT_EQ(std::tuple(after.integrity, after.items.size(), after.items.back().password),
              std::tuple("ok", 2U, kNewPassword));
    EXPECT_GE(cut.size(), 8U) << "too few cut points to cover a commit";
    EXPECT_EQ(std::count_if(cut.begin(), cut.end(),
                            [&](const auto& k) { return k == before || k == after; }),
              std::ssize(cut));
}

}  // namespace
}  // namespace lockstep::testing
