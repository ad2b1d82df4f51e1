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
#include "support/daemon_sandbox.h"
#include "support/directory_fixture.h"
#include "support/kill_vfs.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace lockstep::testing {
namespace {

namespace fs = std::filesystem;

constexpr char kChildKeychains[] = "LOCKSTEP_CUT_KEYCHAINS";
constexpr char kChildAccounts[] = "LOCKSTEP_CUT_ACCOUNTS";
constexpr char kChildKillAt[] = "LOCKSTEP_CUT_AT";
constexpr char kChildPassword[] = "LOCKSTEP_CUT_PASSWORD";

constexpr char kOldPassword[] = "old password 7f3a";

// Runs only as a child of the tests below; skipped in a normal run.
TEST(EnrolmentChild, Run) {
    const char* keychains = std::getenv(kChildKeychains);
    if (keychains == nullptr) {
        GTEST_SKIP() << "runs only as a child of the killed-enrolment tests";
    }
    kill_vfs::install();
    TestMachine machine(std::getenv(kChildAccounts), keychains);
    kill_vfs::arm(std::atoi(std::getenv(kChildKillAt)));
    const std::string printed =
        machine.run({.setUser = true, .user = kUser, .password = std::getenv(kChildPassword)});
    kill_vfs::arm(0);
    if (printed != kEnrolled) {
        std::cerr << "enrolment child printed: " << printed << std::endl;
        std::_Exit(3);
    }
    std::_Exit(0);
}

// Starts this program again for the child above; gives how it ended.
ExitStatus runChild(const std::map<std::string, std::string>& environment) {
    for (const auto& [name, value] : environment) {
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    auto spawned = spawnProcess({.program = fs::read_symlink("/proc/self/exe").string(),
                                 .arguments = {"--gtest_filter=EnrolmentChild.Run"},
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

bool fileHolds(const fs::path& file, const std::string& text) {
    return fs::exists(file) && readFile(file).find(text) != std::string::npos;
}

struct CutCase {
    const char* name;
    bool enrolledBefore;     // an old credential to replace
    int otherItems;          // items of other services around it
    std::size_t extraBytes;  // added to the new password
};

void PrintTo(const CutCase& c, std::ostream* out) {
    *out << c.name;
}

class KilledEnrolment : public ::testing::TestWithParam<CutCase> {
  protected:
    void SetUp() override {
        const CutCase& c = GetParam();
        newPassword_ = "new password 91c4" + std::string(c.extraBytes, 'n');
        accounts_.addUser(kUser, newPassword_, 501);
        fs::create_directories(base());
        TestMachine machine(accounts_.root(), base());
        SecKeychainRef keychain;
        if (c.enrolledBefore || c.otherItems > 0) {
            ASSERT_EQ(machine.keychain().SecKeychainCopyDomainDefault(kSecPreferencesDomainSystem,
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
            before_ = readKeychain(TestMachine::systemKeychain(base()));
        }
    }

    [[nodiscard]] fs::path base() const { return dir_ / "base"; }

    TempDir dir_;
    TestDirectory accounts_{dir_ / "machine"};
    std::string newPassword_;
    KeychainContents before_;
};

TEST_P(KilledEnrolment, LeavesTheOldOrTheNewCredential) {
    const CutCase& c = GetParam();
    const auto oldItems = before_.itemsOf(kUser);
    const std::size_t others = before_.items.size() - oldItems.size();
    const std::string key = readFile(base() / "System.keychain.key");
    std::vector<std::string> newAcls;
    std::vector<int> newCuts;
    bool finished = false;
    bool sawOld = false;
    bool sawHotJournal = false;
    int cuts = 0;
    for (int at = 1; !finished; ++at) {
        ASSERT_LE(at, 500) << "the enrolment never ran to its end";
        const fs::path run = dir_ / ("cut-" + std::to_string(at));
        fs::copy(base(), run, fs::copy_options::recursive);
        const ExitStatus status = runChild({{kChildKeychains, run.string()},
                                            {kChildAccounts, accounts_.root().string()},
                                            {kChildKillAt, std::to_string(at)},
                                            {kChildPassword, newPassword_},
                                            {"TMPDIR", run.string()}});
        if (status.exited) {
            ASSERT_EQ(status.code, 0) << "the uncut enrolment failed";
            finished = true;
        } else {
            ASSERT_EQ(status.code, SIGKILL) << "cut " << at;
            ++cuts;
        }

        const fs::path file = TestMachine::systemKeychain(run);
        const fs::path journal = file.string() + "-journal";
        sawHotJournal |= fs::exists(journal) && fs::file_size(journal) > 0;
        for (const fs::path& written : {file, journal}) {
            EXPECT_FALSE(fileHolds(written, newPassword_)) << written << " cut " << at;
            EXPECT_FALSE(fileHolds(written, kOldPassword)) << written << " cut " << at;
        }

        const KeychainContents after = readKeychain(file);
        ASSERT_EQ(after.openStatus, errSecSuccess) << "cut " << at;
        EXPECT_EQ(after.integrity, "ok") << "cut " << at;
        EXPECT_EQ(after.items.size() - after.itemsOf(kUser).size(), others) << "cut " << at;
        const auto mine = after.itemsOf(kUser);
        if (mine == oldItems) {
            EXPECT_FALSE(finished) << "a finished enrolment must show";
            sawOld = true;
        } else {
            ASSERT_EQ(mine.size(), 1U) << "cut " << at;
            EXPECT_EQ(mine[0].password, newPassword_) << "cut " << at;
            newAcls.push_back(mine[0].acl);
            newCuts.push_back(at);
        }
        if (c.enrolledBefore) {
            EXPECT_EQ(readFile(run / "System.keychain.key"), key) << "cut " << at;
        }
        fs::remove_all(run);
    }
    EXPECT_TRUE(sawOld);
    EXPECT_TRUE(sawHotJournal) << "no cut fell inside a commit";
    // Every new credential found after a cut is whole: its access list is the
    // one the uncut enrolment gave it.
    for (std::size_t i = 0; i < newAcls.size(); ++i) {
        EXPECT_TRUE(newAcls[i] == newAcls.back()) << "unfinished access list, cut " << newCuts[i];
    }
    std::cout << "[ cuts     ] " << c.name << ": " << cuts << " cut points, " << newAcls.size() - 1
              << " showing the new credential" << std::endl;
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
        if (result.out == kEnrolling + "password set failed\n" + kArmed) {
            EXPECT_EQ(after.itemsOf(kUser)[0].password, kPassword) << free;
            EXPECT_EQ(armedPassword(), kPassword) << free;
            ++failed;
            continue;
        }
        ASSERT_EQ(result.out, kEnrolled + kArmed) << free;
        EXPECT_EQ(after.itemsOf(kUser)[0].password, newPassword);
        EXPECT_EQ(armedPassword(), newPassword);
        std::cout << "[ space    ] failed with 0 to " << free - 4096
                  << " bytes free, went through with " << free << std::endl;
        break;
    }
    EXPECT_GT(failed, 0);
}

// A damaged System keychain: the plain run prints nothing, says in the log
// that it found no credential, exits 0 and changes neither file.
TEST_F(SandboxTest, DamagedKeychainIsLeftAlone) {
    ASSERT_EQ(enrol(kUser, kPassword).out, kEnrolled);
    const fs::path keychain = sandbox().systemKeychain();
    const fs::path key = keychain.string() + ".key";
    const fs::path saved = sandbox().path() / "saved";
    fs::create_directories(saved);
    fs::copy(keychain, saved / "keychain");
    fs::copy(key, saved / "key");
    const auto overwrite = [](const fs::path& file, std::uintmax_t from, std::uintmax_t to) {
        std::string bytes = readFile(file);
        for (auto i = from; i < std::min<std::uintmax_t>(to, bytes.size()); ++i) {
            bytes[i] = static_cast<char>(0x5A ^ (i & 0xFF));
        }
        writeFile(file, bytes, fs::perms(0600));
    };
    struct Damage {
        const char* name;
        std::function<void()> apply;
    };
    const std::vector<Damage> damages = {
        {"header overwritten", [&] { overwrite(keychain, 0, 32); }},
        {"pages overwritten", [&] { overwrite(keychain, 4096, UINTMAX_MAX); }},
        {"truncated", [&] { fs::resize_file(keychain, fs::file_size(keychain) - 1000); }},
        {"key too short", [&] { fs::resize_file(key, 31); }},
        {"key too long", [&] { fs::resize_file(key, 33); }},
        {"key of another keychain", [&] { overwrite(key, 0, 32); }},
        {"key readable by others", [&] { fs::permissions(key, fs::perms(0644)); }},
        {"key missing", [&] { fs::remove(key); }},
    };
    sandbox().setPreferences("<key>showDebug</key><true/>");
    for (const Damage& damage : damages) {
        fs::copy(saved / "keychain", keychain, fs::copy_options::overwrite_existing);
        fs::copy(saved / "key", key, fs::copy_options::overwrite_existing);
        fs::permissions(key, fs::perms(0600));
        damage.apply();
        const std::optional<std::string> keychainBefore =
            fs::exists(keychain) ? std::optional(readFile(keychain)) : std::nullopt;
        const std::optional<std::string> keyBefore =
            fs::exists(key) ? std::optional(readFile(key)) : std::nullopt;
        const auto keyMode = fs::status(key).permissions();
        fs::remove(sandbox().path() / "fdesetup-record.stdin");
        fs::remove_all(sandbox().userKeychain().parent_path());

        const auto result = sandbox().run({});
        EXPECT_EQ(result.exitCode, 0) << damage.name;
        EXPECT_EQ(result.out, "") << damage.name;
        EXPECT_NE(result.err.find("run() System keychain not available: "
                                  "SecretKeeperError.errorFindingKey(status -"),
                  std::string::npos)
            << damage.name << ": " << result.err;
        EXPECT_NE(result.err.find("Lockstep not found in keychain"), std::string::npos)
            << damage.name << ": " << result.err;
        EXPECT_FALSE(sandbox().fdesetupInput()) << damage.name;
        EXPECT_EQ(fs::exists(keychain) ? std::optional(readFile(keychain)) : std::nullopt,
                  keychainBefore)
            << damage.name;
        EXPECT_EQ(fs::exists(key) ? std::optional(readFile(key)) : std::nullopt, keyBefore)
            << damage.name;
        EXPECT_EQ(fs::status(key).permissions(), keyMode) << damage.name;
        EXPECT_FALSE(fs::exists(keychain.string() + "-journal")) << damage.name;
    }
}

// What the log says of a damaged System keychain, in process where the
// system log can be read: why the System keychain could not be used, that the
// daemon fell back to the user's keychain, and that it found no credential.
TEST(DamagedKeychain, TheLogTellsOfTheFallback) {
    TempDir dir;
    TestDirectory accounts(dir / "machine");
    accounts.addUser(kUser, kOldPassword, 501);
    TestMachine machine(accounts.root(), dir / "keychains");
    ASSERT_EQ(machine.run({.setUser = true, .user = kUser, .password = kOldPassword}), kEnrolled);
    const fs::path file = TestMachine::systemKeychain(dir / "keychains");
    std::string bytes = readFile(file);
    bytes.replace(0, 16, "not a keychain!");
    writeFile(file, bytes, fs::perms(0600));

    LogCapture capture;
    EXPECT_EQ(machine.run({}), "");
    EXPECT_TRUE(capture.contains(kLogLevelError,
                                 "System keychain not available: "
                                 "SecretKeeperError.errorFindingKey(status -25295)"))
        << capture.dump();
    EXPECT_TRUE(capture.systemContains("using user keychain")) << capture.dump();
    EXPECT_TRUE(capture.contains(kLogLevelError, "Lockstep not found in keychain"));
    EXPECT_EQ(readFile(file), bytes);
}

}  // namespace
}  // namespace lockstep::testing
