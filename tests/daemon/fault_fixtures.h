#pragma once

// Fixtures shared by the daemon tests: the run flow in process on a machine
// made of folders, and the real lockstepd in a sandbox.

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "daemon/password_daemon.h"
#include "platform/context.h"
#include "platform/directory/local_directory.h"
#include "platform/keychain/sqlite_keychain.h"
#include "platform/plist.h"
#include "support/daemon_sandbox.h"
#include "support/temp_dir.h"

namespace lockstep::testing {

inline constexpr char kUser[] = "alice";
// Lines that lockstepd prints.
inline const std::string kEnrolling = "alice ********\n";
inline const std::string kArmed = "Successfully authenticated with FileVault\n";
inline const std::string kNotArmed = "Failed to authenticate with FileVault\n";
inline const std::string kEnrolled = kEnrolling + kArmed;

// The machine of the run flow in process: the account files of a
// TestDirectory, a System keychain and a login keychain in `keychains`, and
// the stand-in restart tool. The keychain folder is apart from the account
// files, so that each run can be handed a fresh copy of the keychain.
// A folder is trusted by path (the accounts root as the calling program):
// nothing to hash in every child, and the same access list whichever keychain
// copy a run works on.
struct TestMachine {
    TestMachine(const std::filesystem::path& accountsRoot, const std::filesystem::path& keychains)
        : keychain({.systemKeychainPath = systemKeychain(keychains),
                    .userKeychainPath = keychains / "login.keychain",
                    .callingProgramPath = accountsRoot}),
          directory(accountsRoot),
          root(accountsRoot) {}

    [[nodiscard]] static std::filesystem::path systemKeychain(
        const std::filesystem::path& keychains) {
        return keychains / "System.keychain";
    }

    [[nodiscard]] Context context() {
        return Context{.keychain = keychain,
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
    // Where runs are recorded; empty: not recorded.
    std::filesystem::path runRecord;
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

    // The Lockstep items of the System keychain, oldest first; none when
    // there is no keychain.
    [[nodiscard]] std::vector<KeychainContents::Item> stored() {
        if (!std::filesystem::exists(sandbox().systemKeychain())) {
            return {};
        }
        auto items = readKeychain(sandbox().systemKeychain()).items;
        std::erase_if(items, [](const auto& item) { return item.service != "Lockstep"; });
        return items;
    }

    // The user name and password of the stand-in's last request, parsed back
    // as the tool would.
    [[nodiscard]] std::optional<std::pair<std::string, std::string>> armed() const {
        const auto parsed = parsePlist(toBytes(sandbox_->fdesetupInput().value_or("")));
        if (!parsed) {
            return std::nullopt;
        }
        std::vector<std::string> values;
        for (const char* key : {"Username", "Password"}) {
            plist_t node = plist_dict_get_item(parsed->root.get(), key);
            if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) {
                return std::nullopt;
            }
            std::uint64_t length = 0;
            const char* data = plist_get_string_ptr(node, &length);
            values.emplace_back(data, length);
        }
        return std::pair(values[0], values[1]);
    }

  private:
    std::optional<DaemonSandbox> sandbox_;
};

}  // namespace lockstep::testing
