// The run flow in process, on a real keychain and real account files in a
// temporary folder, with the stand-in restart tool.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <sstream>

#include "daemon/password_daemon.h"
#include "keychain/keychain_util.h"
#include "platform/directory/local_directory.h"
#include "platform/keychain/sqlite_keychain.h"
#include "support/directory_fixture.h"
#include "support/log_capture.h"

namespace lockstep::testing {
namespace {

class RunFlow : public ::testing::Test {
  protected:
    RunFlow() : keychain_(options()), directory_(accounts_.root()) {
        accounts_.addUser("alice", "right", 501).addUser("locked", "pw", 502, AccountState::locked);
        accounts_.addUser("gone", "pw", 503, AccountState::disabled);
        ::setenv("FAKE_FDESETUP_RECORD", (folder_ / "record").c_str(), 1);
    }
    ~RunFlow() override { ::unsetenv("FAKE_FDESETUP_RECORD"); }

    SqliteKeychainOptions options() {
        SqliteKeychainOptions result;
        result.systemKeychainPath = folder_ / "var/lib/lockstep/System.keychain";
        result.userKeychainPath = folder_ / "home/.local/share/lockstep/login.keychain";
        return result;
    }

    Context context() {
        return Context{.keychain = keychain_,
                       .directory = directory_,
                       .fdesetupPath = LOCKSTEP_TEST_HELPERS_DIR "/fake_fdesetup",
                       .bundlePath = folder_.path(),
                       .machineRoot = folder_.path()};
    }

    std::string run(PasswordDaemon command) {
        std::ostringstream out;
        command.run(context(), out);
        return out.str();
    }

    std::optional<std::string> storedAccount() {
        SecKeychainRef system;
        if (keychain_.SecKeychainCopyDomainDefault(kSecPreferencesDomainSystem, &system) != 0) {
            return std::nullopt;
        }
        const auto item = KeychainUtil::findPassword(context(), "Lockstep", std::nullopt, system);
        return item ? std::optional(item->username) : std::nullopt;
    }

    TempDir folder_;
    TestDirectory accounts_;
    SqliteKeychainService keychain_;
    LocalDirectoryService directory_;
};

TEST_F(RunFlow, EachEnrolmentOutcomePrintsItsLines) {
    struct Case {
        std::string user;
        std::string password;
        std::string printed;
    };
    for (const Case& c :
         {Case{"alice", "wrong", "alice ********\nincorrect password\n"},
          Case{"nobody", "pw", "nobody ********\naccount Does Not Exist\n"},
          Case{"locked", "pw", "locked ********\naccount locked\n"},
          Case{"gone", "pw", "gone ********\naccount locked\n"},
          Case{"alice", "right", "alice ********\nSuccessfully authenticated with FileVault\n"}}) {
        EXPECT_EQ(run({.setUser = true, .user = c.user, .password = c.password}), c.printed);
    }
}

TEST_F(RunFlow, TheEnrolmentPathNeedsAllThreeValues) {
    EXPECT_EQ(run({.setUser = true, .user = "alice", .password = std::nullopt}), "");
    EXPECT_EQ(run({.setUser = false, .user = "alice", .password = "right"}), "");
    EXPECT_EQ(run({.setUser = true, .user = std::nullopt, .password = "right"}), "");
    EXPECT_FALSE(storedAccount());
}

TEST_F(RunFlow, PlainRunLogsAndPrintsTheOutcomeOfTheRequest) {
    ASSERT_EQ(run({.setUser = true, .user = "alice", .password = "right"}),
              "alice ********\nSuccessfully authenticated with FileVault\n");
    EXPECT_EQ(storedAccount(), "alice");

    LogCapture capture;
    EXPECT_EQ(run({}), "Successfully authenticated with FileVault\n");
    EXPECT_TRUE(capture.contains("run() Successfully authenticated with FileVault"))
        << capture.dump();

    ::setenv("FAKE_FDESETUP_END", "1", 1);
    EXPECT_EQ(run({}), "Failed to authenticate with FileVault\n");
    ::unsetenv("FAKE_FDESETUP_END");
}

TEST_F(RunFlow, WithoutTheSystemKeychainTheUserKeychainIsUsed) {
    // A folder where the System keychain file should be: it cannot be opened.
    std::filesystem::create_directories(folder_ / "var/lib/lockstep/System.keychain");
    EXPECT_EQ(run({.setUser = true, .user = "alice", .password = "right"}),
              "alice ********\nSuccessfully authenticated with FileVault\n");
    EXPECT_TRUE(std::filesystem::exists(folder_ / "home/.local/share/lockstep/login.keychain"));
    EXPECT_EQ(run({}), "Successfully authenticated with FileVault\n");
}

}  // namespace
}  // namespace lockstep::testing
