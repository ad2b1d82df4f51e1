#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/keychain/sqlite_keychain.h"
#include "support/temp_dir.h"

namespace lockstep::testing {

using Account = std::optional<std::string>;

// Adds a generic password through SecItemAdd; gives the status.
[[nodiscard]] inline OSStatus addItem(KeychainService& keychains, const SecKeychainRef& keychain,
                                      const std::string& service, const Account& account,
                                      const std::string& secret, SecKeychainItemRef* item = nullptr,
                                      const SecAccessRef& access = nullptr) {
    CFDictionary query{{std::string(kSecClass), std::string(kSecClassGenericPassword)},
                       {std::string(kSecAttrService), service},
                       {std::string(kSecValueData), SecretBytes(toBytes(secret))},
                       {std::string(kSecReturnRef), true}};
    if (account) {
        query.emplace(kSecAttrAccount, *account);
    }
    if (keychain) {
        query.emplace(kSecUseKeychain, keychain);
    }
    if (access) {
        query.emplace(kSecAttrAccess, access);
    }
    SecKeychainItemRef result;
    return keychains.SecItemAdd(query, item != nullptr ? item : &result);
}

struct Found {
    OSStatus status = errSecSuccess;
    std::string secret;
    SecKeychainItemRef item;
};
// SecKeychainFindGenericPassword with UTF-8 lengths; no account: length 0.
[[nodiscard]] inline Found findItem(KeychainService& keychains, const SecKeychainRef& keychain,
                                    const std::string& service,
                                    const Account& account = std::nullopt) {
    Found found;
    std::uint32_t length = 0;
    SecretBytes data;
    found.status = keychains.SecKeychainFindGenericPassword(
        keychain, static_cast<std::uint32_t>(service.size()), service.data(),
        account ? static_cast<std::uint32_t>(account->size()) : 0U,
        account ? account->data() : nullptr, &length, &data, &found.item);
    EXPECT_EQ(length, data.size());
    found.secret = toString(data.bytes());
    return found;
}

// Runs SQL on a keychain database through a connection of its own. Gives
// every row as its columns joined by "|"; fails the test on an error.
inline std::vector<std::string> rawSql(const std::filesystem::path& database,
                                       const std::string& sql) {
    std::vector<std::string> rows;
    sqlite3* db = nullptr;
    const int opened = sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    const std::unique_ptr<sqlite3, int (*)(sqlite3*)> owner(db, sqlite3_close_v2);
    sqlite3_busy_timeout(db, 10'000);
    const auto row = [](void* out, int columns, char** values, char**) {
        std::string text;
        for (int i = 0; i < columns; ++i) {
            text += (i > 0 ? "|" : "") + std::string(values[i] != nullptr ? values[i] : "");
        }
        static_cast<std::vector<std::string>*>(out)->push_back(std::move(text));
        return 0;
    };
    EXPECT_EQ(opened != SQLITE_OK ? opened : sqlite3_exec(db, sql.c_str(), row, &rows, nullptr),
              SQLITE_OK)
        << sqlite3_errmsg(db) << " in " << sql;
    return rows;
}

// Whether a file (missing: empty) holds these bytes anywhere.
[[nodiscard]] inline bool fileHolds(const std::filesystem::path& path, std::string_view needle) {
    return readFile(path).find(needle) != std::string::npos;
}

// A keychain service whose two domain defaults and calling program live in a
// temporary folder.
class KeychainTest : public ::testing::Test {
  protected:
    KeychainTest()
        : service_((writeFile(programPath(), "#!/bin/sh\nexit 0\n", std::filesystem::perms(0755)),
                    options())) {}

    [[nodiscard]] SqliteKeychainOptions options() const {
        return {systemPath(), dir_ / "user/login.keychain", programPath()};
    }
    [[nodiscard]] std::filesystem::path systemPath() const { return dir_ / "sys/System.keychain"; }
    [[nodiscard]] std::filesystem::path programPath() const { return dir_ / "bin/program"; }
    // The system keychain (a handle; the file is made by the first store).
    [[nodiscard]] SecKeychainRef systemKeychain() {
        SecKeychainRef keychain;
        EXPECT_EQ(service_.SecKeychainCopyDomainDefault(kSecPreferencesDomainSystem, &keychain), 0);
        return keychain;
    }
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
