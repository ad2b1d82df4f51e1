#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/keychain/sqlite_keychain.h"
#include "support/temp_dir.h"

namespace lockstep::testing {

// Adds a generic password through SecItemAdd; gives the status.
[[nodiscard]] OSStatus addItem(KeychainService& keychains, const SecKeychainRef& keychain,
                               const std::string& service,
                               const std::optional<std::string>& account, const std::string& secret,
                               SecKeychainItemRef* item = nullptr,
                               const SecAccessRef& access = nullptr);

struct Found {
    OSStatus status = errSecSuccess;
    std::string secret;
    SecKeychainItemRef item;
};
// SecKeychainFindGenericPassword with UTF-8 lengths; no account: length 0.
[[nodiscard]] Found findItem(KeychainService& keychains, const SecKeychainRef& keychain,
                             const std::string& service,
                             const std::optional<std::string>& account = std::nullopt);

// A keychain service whose two domain defaults and calling program live in a
// temporary folder.
class KeychainTest : public ::testing::Test {
  protected:
    KeychainTest();

    [[nodiscard]] SqliteKeychainOptions options() const {
        return {.systemKeychainPath = systemPath(),
                .userKeychainPath = dir_ / "user/login.keychain",
                .callingProgramPath = programPath()};
    }
    [[nodiscard]] std::filesystem::path systemPath() const {
        return dir_ / "system/System.keychain";
    }
    [[nodiscard]] std::filesystem::path programPath() const { return dir_ / "bin/program"; }

    // The system keychain, created on first use; fails the test otherwise.
    [[nodiscard]] SecKeychainRef systemKeychain();

    [[nodiscard]] OSStatus add(const SecKeychainRef& keychain, const std::string& service,
                               const std::optional<std::string>& account, const std::string& secret,
                               SecKeychainItemRef* item = nullptr,
                               const SecAccessRef& access = nullptr) {
        return addItem(service_, keychain, service, account, secret, item, access);
    }
    [[nodiscard]] Found find(const SecKeychainRef& keychain, const std::string& service,
                             const std::optional<std::string>& account = std::nullopt) {
        return findItem(service_, keychain, service, account);
    }

    TempDir dir_;
    SqliteKeychainService service_;
};

// Runs SQL on a keychain database through a connection of its own. Gives
// every row as its columns joined by "|"; fails the test on an error.
std::vector<std::string> rawSql(const std::filesystem::path& database, const std::string& sql);

// Whether a file (missing: empty) holds these bytes anywhere.
[[nodiscard]] bool fileHolds(const std::filesystem::path& path, std::string_view needle);

}  // namespace lockstep::testing
