#include "keychain_test_support.h"

#include <sqlite3.h>

#include <memory>

namespace lockstep::testing {

KeychainTest::KeychainTest()
    : service_((writeFile(programPath(), "#!/bin/sh\nexit 0\n", std::filesystem::perms(0755)),
                options())) {}

SecKeychainRef KeychainTest::systemKeychain() {
    SecKeychainRef keychain;
    EXPECT_EQ(service_.SecKeychainCopyDomainDefault(kSecPreferencesDomainSystem, &keychain), 0);
    return keychain;
}

OSStatus addItem(KeychainService& keychains, const SecKeychainRef& keychain,
                 const std::string& service, const Account& account, const std::string& secret,
                 SecKeychainItemRef* item, const SecAccessRef& access) {
    CFDictionary query{
        {std::string(kSecClass), std::string(kSecClassGenericPassword)},
        {std::string(kSecAttrService), service},
        {std::string(kSecValueData), SecretBytes(toBytes(secret))},
        {std::string(kSecReturnRef), true},
    };
    for (const auto& [key, value, given] :
         {std::tuple{kSecAttrAccount, CFValue(account.value_or("")), account.has_value()},
          {kSecUseKeychain, keychain, keychain != nullptr},
          {kSecAttrAccess, access, access != nullptr}}) {
        if (given) {
            query.emplace(key, value);
        }
    }
    SecKeychainItemRef result;
    return keychains.SecItemAdd(query, item != nullptr ? item : &result);
}

Found findItem(KeychainService& keychains, const SecKeychainRef& keychain,
               const std::string& service, const Account& account) {
    Found found;
    std::uint32_t length = 0;
    SecretBytes data;
    found.status = keychains.SecKeychainFindGenericPassword(
        keychain, static_cast<std::uint32_t>(service.size()), service.data(),
        account ? static_cast<std::uint32_t>(account->size()) : 0U,
        account ? account->data() : nullptr, &length, &data, &found.item);
    if (found.status == errSecSuccess) {
        EXPECT_EQ(length, data.size());
        found.secret = toString(data.bytes());
    }
    return found;
}

std::vector<std::string> rawSql(const std::filesystem::path& database, const std::string& sql) {
    std::vector<std::string> rows;
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    const std::unique_ptr<sqlite3, int (*)(sqlite3*)> owner(db, sqlite3_close_v2);
    EXPECT_EQ(rc, SQLITE_OK) << sqlite3_errstr(rc);
    sqlite3_busy_timeout(db, 10'000);
    rc = rc != SQLITE_OK
             ? rc
             : sqlite3_exec(
                   db, sql.c_str(),
                   [](void* out, int columns, char** values, char** /*names*/) {
                       std::string row;
                       for (int i = 0; i < columns; ++i) {
                           row += (i > 0 ? "|" : "") +
                                  std::string(values[i] != nullptr ? values[i] : "");
                       }
                       static_cast<std::vector<std::string>*>(out)->push_back(std::move(row));
                       return 0;
                   },
                   &rows, nullptr);
    EXPECT_EQ(rc, SQLITE_OK) << sqlite3_errmsg(db) << " in " << sql;
    return rows;
}

}  // namespace lockstep::testing
