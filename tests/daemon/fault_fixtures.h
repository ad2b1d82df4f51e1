#pragma once

// Fixtures of the daemon tests: the run flow in process on a machine made of
// folders, and the real lockstepd in a sandbox.

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>

#include "daemon/password_daemon.h"
#include "platform/context.h"
#include "platform/directory/local_directory.h"
#include "platform/keychain/sqlite_keychain.h"
#include "support/daemon_sandbox.h"
#include "support/temp_dir.h"

namespace lockstep::testing {

inline constexpr char kUser[] = "alice";
// Lines that lockstepd prints.
inline const std::string kEnrolling = "alice ********\n";
inline const std::string kArmed = "Successfully authenticated with FileVault\n";
inline const std::string kNotArmed = "Failed to authenticate with FileVault\n";
inline const std::string kEnrolled = kEnrolling + kArmed;

// The account files under `accountsRoot`, a System and a login keychain in
// `keychains` and the stand-in restart tool. The accounts root is trusted as
// the calling program, so every keychain copy gets the same access list.
struct TestMachine {
    TestMachine(const std::filesystem::path& accountsRoot, const std::filesystem::path& keychains)
        : keychain({.systemKeychainPath = keychains / "System.keychain",
                    .userKeychainPath = keychains / "login.keychain",
                    .callingProgramPath = accountsRoot}),
          directory(accountsRoot),
          root(accountsRoot) {}

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
    std::filesystem::path root;
    std::filesystem::path tool = trustedTestProgram("fake_fdesetup");
    std::filesystem::path runRecord;  // empty: runs are not recorded
    std::optional<ChildLimits> toolLimits;
};

// The real lockstepd in a sandbox with the account alice and the stand-in
// restart tool; skipped where no sandbox can be made.
class SandboxTest : public ::testing::Test {
  protected:
    static constexpr char kPassword[] = "correct horse";

    void SetUp() override {
        if (const auto reason = DaemonSandbox::unavailableReason()) {
            GTEST_SKIP() << "sandbox unavailable: " << *reason;
        }
        sandbox_.emplace();
        addUser(kUser, kPassword, 501);
        sandbox_->installFdesetup();
    }
    DaemonSandbox& sandbox() { return *sandbox_; }
    void addUser(const std::string& user, const std::string& password, std::uint32_t uid,
                 AccountState state = AccountState::active) {
        sandbox_->accounts().addUser(user, password, uid, state);
        sandbox_->accounts().write();
    }
    DaemonSandbox::Result enrol(const std::string& user, const std::string& password,
                                const std::map<std::string, std::string>& environment = {}) {
        return sandbox().run({"--set-user", "--user", user, "--password", password}, environment);
    }
    // The Lockstep items of the System keychain, oldest first.
    [[nodiscard]] std::vector<KeychainContents::Item> stored() {
        if (!std::filesystem::exists(sandbox().systemKeychain())) {
            return {};
        }
        auto items = readKeychain(sandbox().systemKeychain()).items;
        std::erase_if(items, [](const auto& item) { return item.service != "Lockstep"; });
        return items;
    }
    // The request that hands the tool this user name and password (both
    // already escaped), as the stand-in records it.
    [[nodiscard]] static std::string request(const std::string& user, const std::string& password) {
        return " <plist>\n   <dict>\n         <key>Username</key>\n         <string>" + user +
               "</string>\n         <key>Password</key>\n         <string>" + password +
               "</string>\n   </dict>\n</plist>\n";
    }

  private:
    std::optional<DaemonSandbox> sandbox_;
};

}  // namespace lockstep::testing
