#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstring>

#include "keychain_test_support.h"
#include "platform/keychain/keychain_store.h"

namespace lockstep::testing {
namespace {

class StorageTest : public KeychainTest {
  protected:
    [[nodiscard]] std::filesystem::path keyPath() const { return systemPath().string() + ".key"; }

    // Opens the system keychain through a fresh service, as the next run of
    // the daemon would.
    [[nodiscard]] OSStatus reopen() {
        SqliteKeychainService service(options());
        SecKeychainRef keychain;
        return service.SecKeychainCopyDomainDefault(kSecPreferencesDomainSystem, &keychain);
    }

    // A keychain with one item, closed again.
    void makeKeychainWithItem() {
        ASSERT_EQ(add(systemKeychain(), "Lockstep", "alice", "pw"), errSecSuccess);
    }
};

constexpr char kSecret[] = "correct horse battery staple";

TEST_F(StorageTest, SecretsAreEncryptedAtRest) {
    const auto keychain = systemKeychain();
    ASSERT_EQ(add(keychain, "Lockstep", "alice", kSecret), errSecSuccess);
    EXPECT_EQ(find(keychain, "Lockstep", "alice").secret, kSecret);
    const Bytes database = fileBytes(systemPath());
    EXPECT_FALSE(contains(database, kSecret));
    EXPECT_FALSE(contains(database, "correct horse"));
    // Service and account are stored in clear; that is what the lookup uses.
    EXPECT_TRUE(contains(database, "alice"));
}

TEST_F(StorageTest, DeletedItemLeavesNoCiphertextBehind) {
    const auto keychain = systemKeychain();
    SecKeychainItemRef item;
    ASSERT_EQ(add(keychain, "Lockstep", "alice", kSecret, &item), errSecSuccess);
    const auto rows = rawSql(systemPath(), "SELECT hex(data) FROM genp");
    ASSERT_EQ(rows.size(), 1U);
    Bytes sealed;
    for (std::size_t i = 0; i + 1 < rows[0].size(); i += 2) {
        sealed.push_back(static_cast<std::uint8_t>(std::stoi(rows[0].substr(i, 2), nullptr, 16)));
    }
    ASSERT_TRUE(contains(fileBytes(systemPath()), toString(sealed)));
    ASSERT_EQ(service_.SecKeychainItemDelete(item), errSecSuccess);
    EXPECT_FALSE(contains(fileBytes(systemPath()), toString(sealed)));
}

TEST_F(StorageTest, SecretMovedToAnotherRowDoesNotOpen) {
    const auto keychain = systemKeychain();
    ASSERT_EQ(add(keychain, "Lockstep", "alice", "alice secret"), errSecSuccess);
    ASSERT_EQ(add(keychain, "Other", "alice", "other secret"), errSecSuccess);
    ASSERT_EQ(add(keychain, "Lockstep", "bob", "bob secret"), errSecSuccess);

    // The ciphertext of ("Lockstep", "alice") copied over ("Other", "alice")
    // and over ("Lockstep", "bob").
    rawSql(systemPath(),
           "UPDATE genp SET data = (SELECT data FROM genp WHERE svce = CAST('Lockstep' AS BLOB) "
           "AND acct = CAST('alice' AS BLOB)) WHERE acct = CAST('bob' AS BLOB) OR svce = "
           "CAST('Other' AS BLOB)");
    for (const auto& [service, account] :
         {std::pair{"Other", "alice"}, std::pair{"Lockstep", "bob"}}) {
        SecKeychainItemRef item;
        std::uint32_t length = 99;
        SecretBytes data;
        EXPECT_EQ(
            service_.SecKeychainFindGenericPassword(
                keychain, static_cast<std::uint32_t>(std::strlen(service)), service,
                static_cast<std::uint32_t>(std::strlen(account)), account, &length, &data, &item),
            errSecDecode)
            << service << " " << account;
        // No partial result.
        EXPECT_EQ(item, nullptr);
        EXPECT_EQ(length, 99U);
        EXPECT_TRUE(data.empty());
    }
    // A row renamed to another service does not open either.
    rawSql(systemPath(),
           "UPDATE genp SET svce = CAST('Moved' AS BLOB) WHERE svce = CAST('Lockstep' AS BLOB) "
           "AND acct = CAST('alice' AS BLOB)");
    EXPECT_EQ(find(keychain, "Moved", "alice").status, errSecDecode);
}

TEST_F(StorageTest, UnsafeKeyFilesAreRefused) {
    makeKeychainWithItem();
    for (const unsigned mode : {0644U, 0640U, 0604U, 0660U, 0602U}) {
        ASSERT_EQ(::chmod(keyPath().c_str(), mode), 0);
        EXPECT_EQ(reopen(), errSecInvalidKeychain) << std::oct << mode;
    }
    ASSERT_EQ(::chmod(keyPath().c_str(), 0600), 0);
    EXPECT_EQ(reopen(), errSecSuccess);
    ASSERT_EQ(::chmod(keyPath().c_str(), 0400), 0);
    EXPECT_EQ(reopen(), errSecSuccess);

    // A symlink to the very same key.
    const auto realKey = dir_ / "real.key";
    std::filesystem::rename(keyPath(), realKey);
    std::filesystem::create_symlink(realKey, keyPath());
    EXPECT_EQ(reopen(), errSecInvalidKeychain);
    std::filesystem::remove(keyPath());
    std::filesystem::rename(realKey, keyPath());
    EXPECT_EQ(reopen(), errSecSuccess);

    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(keyPath().c_str(), 65534, 65534), 0);
        EXPECT_EQ(reopen(), errSecInvalidKeychain);
        ASSERT_EQ(::chown(keyPath().c_str(), 0, 0), 0);
    }
}

TEST_F(StorageTest, KeyFilesOfTheWrongSizeAreRefused) {
    makeKeychainWithItem();
    const std::string key = readFile(keyPath());
    ASSERT_EQ(key.size(), 32U);
    for (const std::string& wrong : {key.substr(0, 31), key + "x", std::string()}) {
        writeFile(keyPath(), wrong, std::filesystem::perms(0600));
        EXPECT_EQ(reopen(), errSecInvalidKeychain) << wrong.size();
    }
    writeFile(keyPath(), key, std::filesystem::perms(0600));
    EXPECT_EQ(reopen(), errSecSuccess);
}

TEST_F(StorageTest, WrongKeyIsRefusedAndChangesNothing) {
    makeKeychainWithItem();
    const std::string key = readFile(keyPath());
    const Bytes before = fileBytes(systemPath());
    std::string other = key;
    other[5] = static_cast<char>(other[5] ^ 0x01);
    writeFile(keyPath(), other, std::filesystem::perms(0600));
    EXPECT_EQ(reopen(), errSecAuthFailed);
    EXPECT_EQ(fileBytes(systemPath()), before);

    // A missing key is not replaced by a new one for an existing keychain.
    std::filesystem::remove(keyPath());
    EXPECT_EQ(reopen(), errSecAuthFailed);
    EXPECT_FALSE(std::filesystem::exists(keyPath()));
    EXPECT_EQ(fileBytes(systemPath()), before);

    writeFile(keyPath(), key, std::filesystem::perms(0600));
    const auto keychain = systemKeychain();
    EXPECT_EQ(find(keychain, "Lockstep", "alice").secret, "pw");
}

TEST_F(StorageTest, DamagedDatabasesAreRefusedUntouched) {
    makeKeychainWithItem();
    const std::string intact = readFile(systemPath());
    ASSERT_GT(intact.size(), 4096U);
    struct Damage {
        const char* name;
        std::string contents;
    };
    const Damage cases[] = {
        {"half", intact.substr(0, intact.size() / 2)},
        {"one page short", intact.substr(0, intact.size() - 4096)},
        {"odd length", intact.substr(0, intact.size() - 100)},
        {"header only", intact.substr(0, 100)},
        {"part of the header", intact.substr(0, 50)},
        {"text", "this is not a keychain\n"},
    };
    for (const Damage& damage : cases) {
        writeFile(systemPath(), damage.contents, std::filesystem::perms(0600));
        SqliteKeychainService service(options());
        SecKeychainRef keychain;
        EXPECT_EQ(service.SecKeychainCopyDomainDefault(kSecPreferencesDomainSystem, &keychain),
                  errSecInvalidKeychain)
            << damage.name;
        EXPECT_EQ(keychain, nullptr);
        EXPECT_EQ(readFile(systemPath()), damage.contents) << damage.name;
        std::vector<KeychainItemInfo> items;
        EXPECT_NE(SqliteKeychainService::listItems(systemPath(), &items), errSecSuccess);
    }
}

TEST_F(StorageTest, GarbledPagesGiveCleanStatuses) {
    {
        const auto keychain = systemKeychain();
        for (int i = 0; i < 20; ++i) {
            ASSERT_EQ(add(keychain, "Lockstep", "user" + std::to_string(i), "pw"), errSecSuccess);
        }
    }
    const std::string intact = readFile(systemPath());
    // Garble 64 bytes at a time, page headers and cells alike, past the
    // database header.
    for (std::size_t offset = 100; offset + 64 <= intact.size(); offset += 1436) {
        std::string garbled = intact;
        for (std::size_t i = 0; i < 64; ++i) {
            garbled[offset + i] = static_cast<char>(0xA5 ^ i);
        }
        writeFile(systemPath(), garbled, std::filesystem::perms(0600));
        SqliteKeychainService service(options());
        SecKeychainRef keychain;
        if (service.SecKeychainCopyDomainDefault(kSecPreferencesDomainSystem, &keychain) !=
            errSecSuccess) {
            continue;
        }
        for (const std::optional<std::string>& account :
             {std::optional<std::string>("user7"), std::optional<std::string>()}) {
            SecretBytes data;
            const OSStatus status = service.SecKeychainFindGenericPassword(
                keychain, 8, "Lockstep", account ? 5U : 0U, account ? account->data() : nullptr,
                nullptr, &data, nullptr);
            if (status == errSecSuccess) {
                EXPECT_EQ(toString(data.bytes()), "pw") << offset;
            }
        }
        std::vector<KeychainItemInfo> items;
        static_cast<void>(SqliteKeychainService::listItems(systemPath(), &items));
    }
}

TEST_F(StorageTest, ForeignDatabaseIsRefusedUntouched) {
    std::filesystem::create_directories(systemPath().parent_path());
    writeFile(systemPath(), "", std::filesystem::perms(0600));
    rawSql(systemPath(), "CREATE TABLE people (name TEXT); INSERT INTO people VALUES ('x')");
    const Bytes before = fileBytes(systemPath());
    EXPECT_EQ(reopen(), errSecInvalidKeychain);
    EXPECT_EQ(fileBytes(systemPath()), before);
    // No key was made for it either.
    EXPECT_FALSE(std::filesystem::exists(keyPath()));
}

TEST_F(StorageTest, EmptyDatabaseFileBecomesAKeychain) {
    // What a creation cut short leaves behind: the file, perhaps the key.
    std::filesystem::create_directories(systemPath().parent_path());
    writeFile(systemPath(), "", std::filesystem::perms(0600));
    const auto keychain = systemKeychain();
    ASSERT_NE(keychain, nullptr);
    EXPECT_EQ(add(keychain, "Lockstep", "alice", "pw"), errSecSuccess);
}

TEST_F(StorageTest, SymlinkedDatabaseIsRefused) {
    makeKeychainWithItem();
    const auto elsewhere = dir_ / "elsewhere.keychain";
    std::filesystem::rename(systemPath(), elsewhere);
    std::filesystem::create_symlink(elsewhere, systemPath());
    EXPECT_EQ(reopen(), errSecInvalidKeychain);
}

TEST_F(StorageTest, DatabaseDescriptorsAreCloseOnExec) {
    const auto keychain = systemKeychain();
    ASSERT_EQ(add(keychain, "Lockstep", "alice", "pw"), errSecSuccess);
    int seen = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const auto target = std::filesystem::read_symlink(entry.path(), error);
        if (error || target.string().rfind(systemPath().parent_path().string(), 0) != 0) {
            continue;
        }
        const int fd = std::stoi(entry.path().filename().string());
        const int flags = ::fcntl(fd, F_GETFD);
        EXPECT_NE(flags & FD_CLOEXEC, 0) << target;
        ++seen;
    }
    EXPECT_GE(seen, 1);
}

TEST_F(StorageTest, LookupsUseTheIndexes) {
    static_cast<void>(systemKeychain());
    const auto byService = rawSql(
        systemPath(), "EXPLAIN QUERY PLAN " + std::string(keychain_internal::kFindByServiceSql));
    ASSERT_EQ(byService.size(), 1U);
    EXPECT_NE(byService[0].find("SEARCH genp USING INDEX genp_service (svce=?)"), std::string::npos)
        << byService[0];
    const auto byAccount =
        rawSql(systemPath(),
               "EXPLAIN QUERY PLAN " + std::string(keychain_internal::kFindByServiceAndAccountSql));
    ASSERT_EQ(byAccount.size(), 1U);
    EXPECT_NE(byAccount[0].find("USING INDEX genp_identity (svce=? AND has_acct=? AND acct=?)"),
              std::string::npos)
        << byAccount[0];
}

TEST_F(StorageTest, ListingShowsItemsWithoutSecrets) {
    const auto before = std::chrono::system_clock::now() - std::chrono::seconds(1);
    {
        const auto keychain = systemKeychain();
        ASSERT_EQ(add(keychain, "Lockstep", "alice", "pw1"), errSecSuccess);
        ASSERT_EQ(add(keychain, "Other", std::nullopt, "pw2"), errSecSuccess);
    }
    // The listing needs no key and changes nothing.
    std::filesystem::remove(keyPath());
    const Bytes database = fileBytes(systemPath());
    std::vector<KeychainItemInfo> items;
    ASSERT_EQ(SqliteKeychainService::listItems(systemPath(), &items), errSecSuccess);
    ASSERT_EQ(items.size(), 2U);
    EXPECT_EQ(items[0].service, toBytes("Lockstep"));
    EXPECT_EQ(items[0].account, toBytes("alice"));
    EXPECT_EQ(items[1].service, toBytes("Other"));
    EXPECT_FALSE(items[1].account.has_value());
    EXPECT_GE(items[0].created, before);
    EXPECT_LE(items[0].created, items[0].modified);
    ASSERT_TRUE(items[0].acls.has_value());
    EXPECT_EQ(items[0].acls->size(), 4U);
    EXPECT_EQ(fileBytes(systemPath()), database);

    EXPECT_EQ(SqliteKeychainService::listItems(dir_ / "none.keychain", &items),
              errSecNoSuchKeychain);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "none.keychain"));
}

}  // namespace
}  // namespace lockstep::testing
