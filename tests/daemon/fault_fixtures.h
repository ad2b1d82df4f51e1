#pragma once

// Fixtures of the fault-injection tests: the run flow in process on a machine
// made of folders, and the real lockstepd in a sandbox.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>

#include "daemon/password_daemon.h"
#include "platform/context.h"
#include "platform/directory/local_directory.h"
#include "platform/keychain/sqlite_keychain.h"
#include "support/daemon_sandbox.h"

namespace lockstep::testing {

inline constexpr char kUser[] = "alice";
// Lines that lockstepd prints.
inline const std::string kEnrolling = "alice ********\n";
inline const std::string kArmed = "Successfully authenticated with FileVault\n";
inline const std::string kNotArmed = "Failed to authenticate with FileVault\n";
inline const std::string kEnrolled = kEnrolling + kArmed;

// The machine of the run flow in process: the account files of a
// TestDirectory, a System keychain and a login keychain, and the stand-in
// restart tool. The keychain folder is apart from the account files, so that
// each run can be handed a fresh copy of the keychain.
class TestMachine {
  public:
    TestMachine(const std::filesystem::path& accountsRoot, const std::filesystem::path& keychains)
        : keychain_(options(accountsRoot, keychains)),
          directory_(accountsRoot),
          root_(accountsRoot) {}

    [[nodiscard]] static std::filesystem::path systemKeychain(
        const std::filesystem::path& keychains) {
        return keychains / "System.keychain";
    }

    [[nodiscard]] Context context() {
        return Context{.keychain = keychain_,
                       .directory = directory_,
                       .fdesetupPath = LOCKSTEP_TEST_HELPERS_DIR "/fake_fdesetup",
                       .bundlePath = root_,
                       .machineRoot = root_};
    }

    // Runs one command as lockstepd would; gives what it printed.
    [[nodiscard]] std::string run(const PasswordDaemon& command) {
        std::ostringstream out;
        command.run(context(), out);
        return out.str();
    }

    [[nodiscard]] SqliteKeychainService& keychain() { return keychain_; }

  private:
    static SqliteKeychainOptions options(const std::filesystem::path& root,
                                         const std::filesystem::path& keychains) {
        SqliteKeychainOptions result;
        result.systemKeychainPath = systemKeychain(keychains);
        result.userKeychainPath = keychains / "login.keychain";
        // A folder is trusted by path: nothing to hash in every child, and
        // the same access list whichever keychain copy a run works on.
        result.callingProgramPath = root;
        return result;
    }

    SqliteKeychainService keychain_;
    LocalDirectoryService directory_;
    std::filesystem::path root_;
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
        sandbox_->accounts().addUser(kUser, kPassword, 501);
        sandbox_->accounts().write();
        sandbox_->installFdesetup();
    }

    DaemonSandbox& sandbox() { return *sandbox_; }

    DaemonSandbox::Result enrol(const std::string& user, const std::string& password,
                                const std::map<std::string, std::string>& environment = {}) {
        return sandbox().run({"--set-user", "--user", user, "--password", password}, environment);
    }

    // The password that the stand-in tool was handed last, read back from
    // its request.
    [[nodiscard]] std::optional<std::string> armedPassword() const {
        const auto input = sandbox_->fdesetupInput();
        if (!input) {
            return std::nullopt;
        }
        const std::string open = "<key>Password</key>\n         <string>";
        const auto start = input->find(open);
        const auto end = input->find("</string>", start + open.size());
        if (start == std::string::npos || end == std::string::npos) {
            return std::nullopt;
        }
        return input->substr(start + open.size(), end - start - open.size());
    }

  private:
    std::optional<DaemonSandbox> sandbox_;
};

}  // namespace lockstep::testing
