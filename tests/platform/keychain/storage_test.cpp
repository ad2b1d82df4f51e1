#include <fcntl.h>
#include <unistd.h>

#include <tuple>

#include "keychain_test_support.h"
#include "platform/text.h"

namespace lockstep::testing {
namespace {

class StorageTest : public KeychainTest {
  protected:
    [[nodiscard]] std::filesystem::path keyPath() const { return systemPath().string() + ".key"; }
    // Opens the system keychain through a fresh service, as the next run would.
    [[nodiscard]] OSStatus reopen() {
        SecKeychainRef keychain;
        return SqliteKeychainService(options()).SecKeychainCopyDomainDefault(
            kSecPreferencesDomainSystem, &keychain);
    }
};

TEST_F(StorageTest, SecretsAreSealedToTheirRowAndWipedOnDelete) {
    const auto keychain = systemKeychain();
    SecKeychainItemRef item;
    ASSERT_EQ(add(keychain, "Lockstep", "alice", "correct horse battery staple", &item), 0);
    EXPECT_FALSE(fileHolds(systemPath(), "correct horse"));
    // Deleting leaves no ciphertext behind in freed pages.
    const std::string sealed = rawSql(systemPath(), "SELECT lower(hex(data)) FROM genp").at(0);
    const auto onDisk = [&] {
        return fileHolds(systemPath(), toString(hexDecode(sealed).value()));
    };
    ASSERT_TRUE(onDisk());
    ASSERT_EQ(service_.SecKeychainItemDelete(item), errSecSuccess);
    EXPECT_FALSE(onDisk());
    // The ciphertext of ("Lockstep", "alice"), copied over ("Other", "alice")
    // and over ("Lockstep", "bob"), opens for neither.
    ASSERT_EQ(add(keychain, "Lockstep", "alice", "alice secret") +
                  add(keychain, "Other", "alice", "x") + add(keychain, "Lockstep", "bob", "x"),
              0);
    rawSql(systemPath(), "UPDATE genp SET data = (SELECT data FROM genp ORDER BY id LIMIT 1)");
    EXPECT_EQ(find(keychain, "Other", "alice").status, errSecDecode);
    std::uint32_t length = 99;
    SecretBytes data;
    SecKeychainItemRef none;
    EXPECT_EQ(service_.SecKeychainFindGenericPassword(keychain, 8, "Lockstep", 3, "bob", &length,
                                                      &data, &none),
              errSecDecode);
    EXPECT_TRUE(none == nullptr && length == 99U && data.empty());  // no partial result
    EXPECT_EQ(find(keychain, "Lockstep", "alice").secret, "alice secret");
}

TEST_F(StorageTest, UnsafeMisshapenOrWrongKeyFilesAreRefusedAndChangeNothing) {
    ASSERT_EQ(add(systemKeychain(), "Lockstep", "alice", "pw"), errSecSuccess);
    const std::string key = readFile(keyPath()), before = readFile(systemPath());
    std::string flipped = key;
    flipped[5] = static_cast<char>(flipped[5] ^ 0x01);
    const std::tuple<std::string, unsigned, OSStatus> cases[] = {
        {key, 0640, errSecInvalidKeychain},
        {key, 0602, errSecInvalidKeychain},
        {key.substr(1), 0600, errSecInvalidKeychain},
        {key + "x", 0600, errSecInvalidKeychain},
        {flipped, 0600, errSecAuthFailed},
        {key, 0400, errSecSuccess},
    };
    for (const auto& [contents, mode, expected] : cases) {
        std::filesystem::permissions(keyPath(), std::filesystem::perms(0600));
        writeFile(keyPath(), contents, std::filesystem::perms(mode));
        EXPECT_EQ(reopen(), expected) << std::oct << mode << " " << contents.size();
    }
    // A missing key is not replaced by a new one for an existing keychain.
    std::filesystem::remove(keyPath());
    EXPECT_EQ(reopen(), errSecAuthFailed);
    EXPECT_FALSE(std::filesystem::exists(keyPath()));
    // Nor is a symlink to the very key taken, or a key of another owner.
    writeFile(dir_ / "real.key", key, std::filesystem::perms(0600));
    std::filesystem::create_symlink(dir_ / "real.key", keyPath());
    EXPECT_EQ(reopen(), errSecInvalidKeychain);
    std::filesystem::remove(keyPath());
    writeFile(keyPath(), key, std::filesystem::perms(0600));
    ASSERT_EQ(::chown(keyPath().c_str(), 65534, 65534), 0);
    EXPECT_EQ(reopen(), errSecInvalidKeychain);
    EXPECT_EQ(readFile(systemPath()), before);
}

TEST_F(StorageTest, ForeignOrDamagedDatabasesAreRefusedUntouched) {
    writeFile(systemPath(), "", std::filesystem::perms(0600));
    rawSql(systemPath(), "CREATE TABLE people (name TEXT)");
    const std::string foreign = readFile(systemPath());
    EXPECT_EQ(reopen(), errSecInvalidKeychain);
    EXPECT_EQ(readFile(systemPath()), foreign);
    EXPECT_FALSE(std::filesystem::exists(keyPath()));  // no key was made for it
    std::filesystem::remove(systemPath());
    ASSERT_EQ(add(systemKeychain(), "Lockstep", "alice", "pw"), errSecSuccess);
    const std::string intact = readFile(systemPath());
    for (const std::string& damaged : {intact.substr(0, intact.size() - 4096), intact.substr(0, 50),
                                       std::string("not a keychain\n")}) {
        writeFile(systemPath(), damaged, std::filesystem::perms(0600));
        EXPECT_EQ(reopen(), errSecInvalidKeychain) << damaged.size();
        EXPECT_EQ(readFile(systemPath()), damaged) << damaged.size();
        std::vector<KeychainItemInfo> items;
        EXPECT_NE(SqliteKeychainService::listItems(systemPath(), &items), errSecSuccess);
    }
}

TEST_F(StorageTest, ListingShowsItemsWithoutSecretsOrKey) {
    const auto before = std::chrono::system_clock::now() - std::chrono::seconds(1);
    ASSERT_EQ(add(systemKeychain(), "Lockstep", "alice", "pw1") +
                  add(systemKeychain(), "Other", std::nullopt, "pw2"),
              0);
    // Every descriptor on the database is closed on exec.
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path(), error).parent_path() ==
            systemPath().parent_path()) {
            EXPECT_NE(::fcntl(std::stoi(entry.path().filename()), F_GETFD) & FD_CLOEXEC, 0);
        }
    }
    // The listing needs no key and changes nothing.
    std::filesystem::remove(keyPath());
    const std::string database = readFile(systemPath());
    std::vector<KeychainItemInfo> items;
    ASSERT_EQ(SqliteKeychainService::listItems(systemPath(), &items), errSecSuccess);
    ASSERT_EQ(items.size(), 2U);
    EXPECT_EQ(toString(items[0].service) + "/" + toString(items[0].account.value()) + " " +
                  toString(items[1].service) + std::to_string(items[1].account.has_value()),
              "Lockstep/alice Other0");
    EXPECT_TRUE(items[0].created >= before && items[0].created <= items[0].modified);
    EXPECT_EQ(items[0].acls.value().size(), 4U);
    EXPECT_EQ(readFile(systemPath()), database);
    EXPECT_EQ(SqliteKeychainService::listItems(dir_ / "none", &items), errSecNoSuchKeychain);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "none"));
}

}  // namespace
}  // namespace lockstep::testing
