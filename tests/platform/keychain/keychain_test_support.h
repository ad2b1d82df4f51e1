#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/keychain/sqlite_keychain.h"
#include "support/temp_dir.h"

namespace lockstep::testing {

using Account = std::optional<std::string>;

// Adds a generic password through SecItemAdd; gives the status.
[[nodiscard]] OSStatus addItem(KeychainService& keychains, const SecKeychainRef& keychain,
                               const std::string& service, const Account& account,
                               const std::string& secret, SecKeychainItemRef* item = nullptr,
                               const SecAccessRef& access = nullptr);

struct Found {
    OSStatus status = errSecSuccess;
    std::string secret;
    SecKeychainItemRef item;
};
// SecKeychainFindGenericPassword with UTF-8 lengths; no account: length 0.
[[nodiscard]] Found findItem(KeychainService& keychains, const SecKeychainRef& keychain,
                             const std::string& service, const Account& account = std::nullopt);

// Runs SQL on a keychain database through a connection of its own. Gives
// every row as its columns joined by "|"; fails the test on an error.
std::vector<std::string> rawSql(const std::filesystem::path& database, const std::string& sql);

// Whether a file (missing: empty) holds these bytes anywhere.
[[nodiscard]] inline bool fileHolds(const std::filesystem::path& path, std::string_view needle) {
    return readFile(path).find(needle) != std::string::npos;
}

// A keychain service whose two domain defaults and calling program live in a
// temporary folder.
class KeychainTest : public ::testing::Test {
  protected:
    KeychainTest();

    [[nodiscard]] SqliteKeychainOptions options() const {
        return {systemPath(), dir_ / "user/login.keychain", programPath()};
    }
    [[nodiscard]] std::filesystem::path systemPath() const { return dir_ / "sys/System.keychain"; }
    [[nodiscard]] std::filesystem::path programPath() const { return dir_ / "bin/program"; }
    // The system keychain (a handle; the file is made by the first store).
    [[nodiscard]] SecKeychainRef systemKeychain();
    [[nodiscard]] OSStatus add(const SecKeychainRef& keychain, const std::string& service,
                               const Account& account, const std::string& secret,
                               SecKeychainItemRef* item = nullptr,
                               const SecAccessRef& access = nullptr) {
        return addItem(service_, keychain, service, account, secret, item, access);
    }
    [[nodiscard]] Found find(const SecKeychainRef& keychain, const std::string& service,
                             const Account& account = std::nullopt) {
        return findItem(service_, keychain, service, account);
    }

    TempDir dir_;
    SqliteKeychainService service_;
};

}  // namespace lockstep::testing
