// Enrolments cut short, keychain folders that run out of space, and damaged
// keychain files.
//
// A cut: a child (this test program started again) runs an enrolment on a
// copy of a keychain and kills itself right after its N-th write, sync,
// truncation or deletion of a keychain file or journal, for N = 1, 2, ...
// until the enrolment runs to its end. After every cut the keychain must open
// as the daemon opens it, pass SQLite's integrity check and hold exactly the
// old credential or exactly the new one.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <cstdlib>
#include <iostream>

#include "fault_fixtures.h"
#include "keychain/keychain_util.h"
#include "platform/process.h"
#include "support/child_mode.h"
#include "support/directory_fixture.h"
#include "support/kill_vfs.h"

namespace lockstep::testing {
namespace {

namespace fs = std::filesystem;

constexpr char kOldPassword[] = "old password 7f3a";
const std::string kNewPassword = "new password 91c4";

// The child of the cut tests; its settings come in LOCKSTEP_CUT_* variables.
[[maybe_unused]] ::testing::Environment* const enrolmentChild =
    addChildMode("LOCKSTEP_CUT_KEYCHAINS", [](const char* keychains) {
        kill_vfs::install();
        TestMachine machine(std::getenv("LOCKSTEP_CUT_ACCOUNTS"), keychains);
        kill_vfs::arm(std::atoi(std::getenv("LOCKSTEP_CUT_AT")));
        const PasswordDaemon command{
            .setUser = true, .user = kUser, .password = std::getenv("LOCKSTEP_CUT_PASSWORD")};
        const std::string printed = machine.run(command);
        kill_vfs::arm(0);
        return printed == kEnrolled ? 0 : 3;
    });

struct CutCase {
    const char* name;
    bool enrolledBefore;     // an old credential to replace
    int otherItems;          // items of other services around it
    std::size_t extraBytes;  // added to the new password
};

class KilledEnrolment : public ::testing::TestWithParam<CutCase> {};

TEST_P(KilledEnrolment, LeavesTheOldOrTheNewCredential) {
    const CutCase& c = GetParam();
    TempDir dir;
    const fs::path base = dir / "base";
    const std::string newPassword = kNewPassword + std::string(c.extraBytes, 'n');
    TestDirectory accounts(dir / "machine");
    accounts.addUser(kUser, newPassword, 501);
    fs::create_directories(base);
    KeychainContents before;
    if (c.enrolledBefore || c.otherItems > 0) {
        TestMachine machine(accounts.root(), base);
        SecKeychainRef keychain;
        ASSERT_EQ(
            machine.keychain.SecKeychainCopyDomainDefault(kSecPreferencesDomainSystem, &keychain),
            errSecSuccess);
        for (int i = 0; i < c.otherItems; ++i) {
            ASSERT_NE(KeychainUtil::setPassword(machine.context(), "Other-" + std::to_string(i),
                                                "user", std::string(1500, 'o'), "", keychain),
                      nullptr);
        }
        ASSERT_TRUE(!c.enrolledBefore ||
                    KeychainUtil::updatePassword(machine.context(), "Lockstep", kUser, kOldPassword,
                                                 "", keychain));
        before = readKeychain(base / "System.keychain");
    }
    const auto oldItems = before.itemsOf(kUser);
    const std::string key = readFile(base / "System.keychain.key");
    std::vector<std::string> newAcls;
    bool finished = false, sawOld = false, sawHotJournal = false;
    int cuts = 0;
    for (int at = 1; !finished; ++at) {
        SCOPED_TRACE("cut " + std::to_string(at));
        ASSERT_LE(at, 500) << "the enrolment never ran to its end";
        const fs::path run = dir / ("cut-" + std::to_string(at));
        fs::copy(base, run, fs::copy_options::recursive);
        for (const auto& [name, value] : {std::pair{"LOCKSTEP_CUT_KEYCHAINS", run.string()},
                                          {"LOCKSTEP_CUT_ACCOUNTS", accounts.root().string()},
                                          {"LOCKSTEP_CUT_AT", std::to_string(at)},
                                          {"LOCKSTEP_CUT_PASSWORD", newPassword},
                                          {"TMPDIR", run.string()}}) {
            ::setenv(name, value.c_str(), 1);
        }
        auto child = spawnProcess({.program = fs::read_symlink("/proc/self/exe").string(),
                                   .arguments = {},
                                   .input = ChildStream::Null,
                                   .output = ChildStream::Null});
        ::unsetenv("LOCKSTEP_CUT_KEYCHAINS");
        ::unsetenv("TMPDIR");
        ASSERT_TRUE(child.process) << child.errorDescription();
        const ExitStatus status = child.process->wait().value_or(ExitStatus{});
        finished = status.exited;
        ASSERT_EQ(status.code, finished ? 0 : SIGKILL);
        cuts += finished ? 0 : 1;

        const fs::path file = run / "System.keychain", journal = file.string() + "-journal";
        sawHotJournal |= fs::exists(journal) && fs::file_size(journal) > 0;
        for (const fs::path& written : {file, journal}) {
            const std::string text = readFile(written);
            EXPECT_EQ(text.find(newPassword), std::string::npos) << written;
            EXPECT_EQ(text.find(kOldPassword), std::string::npos) << written;
        }
        const KeychainContents after = readKeychain(file);
        ASSERT_EQ(after.openStatus, errSecSuccess);
        EXPECT_EQ(after.integrity, "ok");
        const auto mine = after.itemsOf(kUser);
        EXPECT_EQ(after.items.size() - mine.size(), before.items.size() - oldItems.size());
        if (mine == oldItems) {
            EXPECT_FALSE(finished) << "a finished enrolment must show";
            sawOld = true;
        } else {
            ASSERT_EQ(mine.size(), 1U);
            EXPECT_EQ(mine[0].password, newPassword);
            newAcls.push_back(mine[0].acl);
        }
        EXPECT_TRUE(!c.enrolledBefore || readFile(run / "System.keychain.key") == key);
        fs::remove_all(run);
    }
    EXPECT_TRUE(sawOld);
    EXPECT_TRUE(sawHotJournal) << "no cut fell inside a commit";
    // Every new credential found after a cut is whole: the uncut access list.
    for (const std::string& acl : newAcls) {
        EXPECT_EQ(acl, newAcls.back()) << "unfinished access list";
    }
    EXPECT_GE(cuts, 25) << "too few cut points to cover a commit";
    std::cout << "[ cuts     ] " << c.name << ": " << cuts << " cut points" << std::endl;
}

INSTANTIATE_TEST_SUITE_P(Enrolments, KilledEnrolment,
                         ::testing::Values(CutCase{"FirstOnANewMachine", false, 0, 0},
                                           CutCase{"ReplacingTheCredential", true, 0, 0},
                                           CutCase{"AmongOtherItems", true, 40, 0},
                                           CutCase{"LongPasswordAmongOtherItems", true, 12, 480}),
                         [](const auto& param) { return std::string(param.param.name); });

// A keychain folder that runs out of space, with the old credential in it:
// the enrolment fails with "password set failed" and the old credential stays
// whole, however little room was left; with enough room it goes through.
TEST_F(SandboxTest, FullKeychainFolderKeepsTheOldCredential) {
    ASSERT_EQ(enrol(kUser, kPassword).out, kEnrolled);
    sandbox().setPassword(kUser, kNewPassword);
    sandbox().setKeychainTmpfs("256k");
    // Copies the keychain into the tmpfs, leaves FREE bytes of room, enrols,
    // frees the room and lets a plain run read the credential back.
    const std::string script = R"script(
        k=/var/lib/lockstep from=$SANDBOX/var-lib/lockstep
        cp -p "$from/System.keychain" "$from/System.keychain.key" "$k/"
        dd if=/dev/zero of="$k/filler" bs=4096 2>/dev/null || true
        if [ "$FREE" -gt 0 ]; then truncate -s "-$FREE" "$k/filler"; fi
        "$LOCKSTEPD" --set-user --user alice --password "$NEW"
        rm "$k/filler"
        rm -rf "$SANDBOX/after" && mkdir "$SANDBOX/after"
        cp -p "$k"/System.keychain* "$SANDBOX/after/"
        "$LOCKSTEPD")script";
    int failed = 0;
    for (int free = 0;; free += 4096) {
        SCOPED_TRACE(free);
        ASSERT_LE(free, 128 * 1024) << "the enrolment never went through";
        const auto result =
            sandbox().runScript(script, {{"FREE", std::to_string(free)}, {"NEW", kNewPassword}});
        ASSERT_EQ(result.exitCode, 0) << result.err;
        const KeychainContents after = readKeychain(sandbox().path() / "after/System.keychain");
        EXPECT_EQ(after.integrity, "ok");
        ASSERT_EQ(after.itemsOf(kUser).size(), 1U);
        const bool wentThrough = result.out == kEnrolled + kArmed;
        const std::string expected = wentThrough ? kNewPassword : kPassword;
        EXPECT_EQ(after.itemsOf(kUser)[0].password, expected);
        EXPECT_EQ(sandbox().fdesetupInput(), request(kUser, expected));
        if (wentThrough) {
            break;
        }
        ASSERT_EQ(result.out, kEnrolling + "password set failed\n" + kArmed);
        ++failed;
    }
    EXPECT_GT(failed, 0);
}

// A System keychain that enrolment cannot use: the credential goes to root's
// own keychain, and the run at boot, with /root read only as the service unit
// leaves it, still reads it from there. Before any of it, a plain run on a
// fresh machine finds no credential and creates no keychain, only the record
// of its run.
struct UnusableSystemKeychain {
    const char* name;
    void (*damage)(const fs::path& keychain, const fs::path& key);
};

class FallbackKeychain : public SandboxTest,
                         public ::testing::WithParamInterface<UnusableSystemKeychain> {};

TEST_P(FallbackKeychain, IsReadAtBootUnderAReadOnlyHome) {
    const fs::path system = sandbox().systemKeychain();
    const fs::path userKeychain = sandbox().path() / "root/.local/share/lockstep/login.keychain";
    const auto fresh = sandbox().run({});
    EXPECT_EQ(std::tuple(fresh.exitCode, fresh.out), std::tuple(0, ""));
    EXPECT_NE(fresh.err.find("Lockstep not found in keychain"), std::string::npos) << fresh.err;
    EXPECT_EQ(std::distance(fs::directory_iterator(system.parent_path()), {}), 1);
    EXPECT_TRUE(fs::exists(system.parent_path() / "last-run"));
    EXPECT_FALSE(fs::exists(userKeychain.parent_path()));

    ASSERT_EQ(enrol(kUser, kPassword).out, kEnrolled);
    GetParam().damage(system, system.string() + ".key");
    sandbox().setPassword(kUser, kNewPassword);
    ASSERT_EQ(enrol(kUser, kNewPassword).out, kEnrolled);
    ASSERT_TRUE(fs::exists(userKeychain));

    sandbox().setReadOnlyHome(true);
    const auto boot = sandbox().run({});
    EXPECT_EQ(std::tuple(boot.exitCode, boot.out), std::tuple(0, kArmed)) << boot.err;
    EXPECT_EQ(sandbox().fdesetupInput(), request(kUser, kNewPassword));
    EXPECT_NE(boot.err.find("System keychain not available"), std::string::npos);
    // The home really was read only.
    EXPECT_EQ(sandbox().runScript("touch /root/probe 2>/dev/null || echo refused").out,
              "refused\n");
}

INSTANTIATE_TEST_SUITE_P(
    Damages, FallbackKeychain,
    ::testing::Values(
        UnusableSystemKeychain{"KeyReadableByOthers",
                               [](auto&, auto& key) { fs::permissions(key, fs::perms(0644)); }},
        UnusableSystemKeychain{
            "KeyOfAnotherMachine",
            [](auto&, auto& key) { writeFile(key, std::string(32, 'k'), fs::perms(0600)); }},
        UnusableSystemKeychain{
            "TruncatedDatabase",
            [](auto& keychain, auto&) { fs::resize_file(keychain, fs::file_size(keychain) / 2); }}),
    [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace lockstep::testing
