// Enrolments cut short, keychain folders that run out of space, and damaged
// keychain files.
//
// A cut: a child (this test program started again) runs the whole run flow of
// an enrolment on a copy of a keychain and kills itself with SIGKILL right
// after its N-th write, sync, truncation or deletion of a keychain file, the
// journal included, for N = 1, 2, ... until the enrolment runs to its end
// untouched. After every cut the keychain must open as the daemon opens it,
// pass SQLite's integrity check and hold exactly the old credential or
// exactly the new one.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <cstdlib>
#include <functional>
#include <iostream>

#include "fault_fixtures.h"
#include "keychain/keychain_util.h"
#include "platform/process.h"
#include "support/child_mode.h"
#include "support/directory_fixture.h"
#include "support/kill_vfs.h"
#include "support/temp_dir.h"

namespace lockstep::testing {
namespace {

namespace fs = std::filesystem;

constexpr char kChildKeychains[] = "LOCKSTEP_CUT_KEYCHAINS";
constexpr char kChildAccounts[] = "LOCKSTEP_CUT_ACCOUNTS";
constexpr char kChildKillAt[] = "LOCKSTEP_CUT_AT";
constexpr char kChildPassword[] = "LOCKSTEP_CUT_PASSWORD";
constexpr char kOldPassword[] = "old password 7f3a";

// The child of the killed-enrolment tests, run instead of the tests.
int runEnrolmentChild(const char* keychains) {
    kill_vfs::install();
    TestMachine machine(std::getenv(kChildAccounts), keychains);
    kill_vfs::arm(std::atoi(std::getenv(kChildKillAt)));
    const std::string printed =
        machine.run({.setUser = true, .user = kUser, .password = std::getenv(kChildPassword)});
    kill_vfs::arm(0);
    if (printed != kEnrolled) {
        std::cerr << "enrolment child printed: " << printed << std::endl;
        return 3;
    }
    return 0;
}

[[maybe_unused]] ::testing::Environment* const enrolmentChild =
    addChildMode(kChildKeychains, runEnrolmentChild);

// Starts this program again for the child above; gives how it ended.
ExitStatus runChild(const std::map<std::string, std::string>& environment) {
    for (const auto& [name, value] : environment) {
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    auto spawned = spawnProcess({.program = fs::read_symlink("/proc/self/exe").string(),
                                 .arguments = {},
                                 .input = ChildStream::Null,
                                 .output = ChildStream::Null});
    for (const auto& [name, value] : environment) {
        ::unsetenv(name.c_str());
    }
    if (!spawned.process) {
        ADD_FAILURE() << "child not started: " << spawned.errorDescription();
        return {};
    }
    return spawned.process->wait().value_or(ExitStatus{});
}

std::optional<std::string> contents(const fs::path& file) {
    return fs::exists(file) ? std::optional(readFile(file)) : std::nullopt;
}

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
    const std::string newPassword = "new password 91c4" + std::string(c.extraBytes, 'n');
    TestDirectory accounts(dir / "machine");
    accounts.addUser(kUser, newPassword, 501);
    fs::create_directories(base);
    KeychainContents before;
    {
        TestMachine machine(accounts.root(), base);
        SecKeychainRef keychain;
        if (c.enrolledBefore || c.otherItems > 0) {
            ASSERT_EQ(machine.keychain.SecKeychainCopyDomainDefault(kSecPreferencesDomainSystem,
                                                                    &keychain),
                      errSecSuccess);
        }
        for (int i = 0; i < c.otherItems; ++i) {
            ASSERT_NE(KeychainUtil::setPassword(machine.context(), "Other-" + std::to_string(i),
                                                "user", std::string(1500, 'o'), "", keychain),
                      nullptr);
        }
        if (c.enrolledBefore) {
            ASSERT_TRUE(KeychainUtil::updatePassword(machine.context(), "Lockstep", kUser,
                                                     kOldPassword, "", keychain));
        }
        if (keychain) {
            before = readKeychain(TestMachine::systemKeychain(base));
        }
    }
    const auto oldItems = before.itemsOf(kUser);
    const std::size_t others = before.items.size() - oldItems.size();
    const auto key = contents(base / "System.keychain.key");
    std::vector<std::string> newAcls;
    bool finished = false;
    bool sawOld = false;
    bool sawHotJournal = false;
    int cuts = 0;
    for (int at = 1; !finished; ++at) {
        ASSERT_LE(at, 500) << "the enrolment never ran to its end";
        const fs::path run = dir / ("cut-" + std::to_string(at));
        fs::copy(base, run, fs::copy_options::recursive);
        const ExitStatus status = runChild({{kChildKeychains, run.string()},
                                            {kChildAccounts, accounts.root().string()},
                                            {kChildKillAt, std::to_string(at)},
                                            {kChildPassword, newPassword},
                                            {"TMPDIR", run.string()}});
        finished = status.exited;
        ASSERT_EQ(status.code, finished ? 0 : SIGKILL) << "cut " << at;
        cuts += finished ? 0 : 1;

        const fs::path file = TestMachine::systemKeychain(run);
        const fs::path journal = file.string() + "-journal";
        sawHotJournal |= fs::exists(journal) && fs::file_size(journal) > 0;
        for (const fs::path& written : {file, journal}) {
            const std::string text = contents(written).value_or("");
            EXPECT_EQ(text.find(newPassword), std::string::npos) << written << " cut " << at;
            EXPECT_EQ(text.find(kOldPassword), std::string::npos) << written << " cut " << at;
        }
        const KeychainContents after = readKeychain(file);
        ASSERT_EQ(after.openStatus, errSecSuccess) << "cut " << at;
        EXPECT_EQ(after.integrity, "ok") << "cut " << at;
        const auto mine = after.itemsOf(kUser);
        EXPECT_EQ(after.items.size() - mine.size(), others) << "cut " << at;
        if (mine == oldItems) {
            EXPECT_FALSE(finished) << "a finished enrolment must show";
            sawOld = true;
        } else {
            ASSERT_EQ(mine.size(), 1U) << "cut " << at;
            EXPECT_EQ(mine[0].password, newPassword) << "cut " << at;
            newAcls.push_back(mine[0].acl);
        }
        if (c.enrolledBefore) {
            EXPECT_EQ(contents(run / "System.keychain.key"), key) << "cut " << at;
        }
        fs::remove_all(run);
    }
    EXPECT_TRUE(sawOld);
    EXPECT_TRUE(sawHotJournal) << "no cut fell inside a commit";
    // Every new credential found after a cut is whole: its access list is the
    // one the uncut enrolment gave it.
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
// whole, however little room was left. From how much room on, the enrolment
// goes through.
TEST_F(SandboxTest, FullKeychainFolderKeepsTheOldCredential) {
    ASSERT_EQ(enrol(kUser, kPassword).out, kEnrolled);
    const std::string newPassword = "new password 91c4";
    sandbox().setPassword(kUser, newPassword);
    sandbox().setKeychainTmpfs("256k");
    // Copies the keychain into the tmpfs, fills it up to FREE bytes of room,
    // enrols, frees the room and lets a plain run read the credential back.
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
        ASSERT_LE(free, 128 * 1024) << "the enrolment never went through";
        const auto result =
            sandbox().runScript(script, {{"FREE", std::to_string(free)}, {"NEW", newPassword}});
        ASSERT_EQ(result.exitCode, 0) << result.err;
        const KeychainContents after = readKeychain(sandbox().path() / "after/System.keychain");
        EXPECT_EQ(after.integrity, "ok") << free;
        ASSERT_EQ(after.itemsOf(kUser).size(), 1U) << free;
        const bool wentThrough = result.out == kEnrolled + kArmed;
        if (!wentThrough) {
            ASSERT_EQ(result.out, kEnrolling + "password set failed\n" + kArmed) << free;
            ++failed;
        }
        const std::string expected = wentThrough ? newPassword : kPassword;
        EXPECT_EQ(after.itemsOf(kUser)[0].password, expected) << free;
        EXPECT_EQ(armed().value_or(std::pair<std::string, std::string>()).second, expected);
        if (wentThrough) {
            break;
        }
    }
    EXPECT_GT(failed, 0);
}

// A System keychain that enrolment cannot use: the credential goes to root's
// own keychain, and the run at boot, with /root read only as the service
// unit leaves it, still reads it from there and arms the restart. Before
// any of it, a plain run on a fresh machine creates no keychain at all, only
// the record of its run.
struct UnusableSystemKeychain {
    const char* name;
    void (*damage)(const fs::path& keychain, const fs::path& key);
};

class FallbackKeychain : public SandboxTest,
                         public ::testing::WithParamInterface<UnusableSystemKeychain> {};

TEST_P(FallbackKeychain, IsReadAtBootUnderAReadOnlyHome) {
    const fs::path system = sandbox().systemKeychain();
    const fs::path userKeychain = sandbox().path() / "root/.local/share/lockstep/login.keychain";
    const auto result = sandbox().run({});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(std::distance(fs::directory_iterator(system.parent_path()), {}), 1);
    EXPECT_TRUE(fs::exists(system.parent_path() / "last-run"));
    EXPECT_FALSE(fs::exists(userKeychain.parent_path()));

    ASSERT_EQ(enrol(kUser, kPassword).out, kEnrolled);
    GetParam().damage(system, system.string() + ".key");
    const std::string newPassword = "new password 91c4";
    sandbox().setPassword(kUser, newPassword);
    ASSERT_EQ(enrol(kUser, newPassword).out, kEnrolled);
    ASSERT_TRUE(fs::exists(userKeychain));

    sandbox().setReadOnlyHome(true);
    const auto boot = sandbox().run({});
    EXPECT_EQ(boot.exitCode, 0);
    EXPECT_EQ(boot.out, kArmed) << boot.err;
    const std::pair<std::string, std::string> expected(kUser, newPassword);
    EXPECT_EQ(armed(), expected);
    EXPECT_NE(boot.err.find("System keychain not available"), std::string::npos);
    // The home really was read only: a write there fails.
    const auto write = sandbox().runScript("touch /root/probe 2>/dev/null || echo refused");
    EXPECT_EQ(write.out, "refused\n");
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
