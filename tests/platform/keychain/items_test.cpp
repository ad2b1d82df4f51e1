#include <sys/stat.h>

#include <tuple>

#include "keychain_test_support.h"

namespace lockstep::testing {
namespace {

using ItemsTest = KeychainTest;

// The account attribute of an item; "<none>" when it has no account.
std::string accountOf(SqliteKeychainService& service, const SecKeychainItemRef& item) {
    SecKeychainAttributeInfo info{{kSecAccountItemAttr}, {CSSM_DB_ATTRIBUTE_FORMAT_STRING}};
    SecKeychainAttributeList attributes;
    EXPECT_EQ(service.SecKeychainItemCopyAttributesAndData(item, &info, nullptr, &attributes,
                                                           nullptr, nullptr),
              errSecSuccess);
    return attributes.size() == 1 && attributes[0].data ? toString(*attributes[0].data) : "<none>";
}

TEST_F(ItemsTest, FindsByExactAccountOrTheOldestItemOfTheService) {
    const auto keychain = systemKeychain();
    ASSERT_EQ(add(keychain, "Lockstep", "bob", "b") + add(keychain, "Lockstep", "alice", "a") +
                  add(keychain, "Lockstep", std::nullopt, "c"),
              errSecSuccess);
    EXPECT_EQ(add(keychain, "Lockstep", "alice", "second"), errSecDuplicateItem);
    EXPECT_EQ(add(keychain, "Lockstep", std::nullopt, "again"), errSecDuplicateItem);
    const Found alice = find(keychain, "Lockstep", "alice");
    EXPECT_EQ(alice.secret + accountOf(service_, alice.item), "aalice");
    const Found oldest = find(keychain, "Lockstep");
    EXPECT_EQ(accountOf(service_, oldest.item), "bob");
    EXPECT_EQ(find(keychain, "Lockstep", "carol").status, errSecItemNotFound);
    EXPECT_EQ(find(keychain, "lockstep").status, errSecItemNotFound);  // exact bytes
    // A missing account pointer with a length is refused and fills nothing.
    SecKeychainItemRef item;
    EXPECT_EQ(service_.SecKeychainFindGenericPassword(keychain, 8, "Lockstep", 5, nullptr, nullptr,
                                                      nullptr, &item),
              errSecParam);
    EXPECT_EQ(item, nullptr);
    // A deleted item's reference does not reach the newer item of its name.
    ASSERT_EQ(service_.SecKeychainItemDelete(oldest.item), errSecSuccess);
    EXPECT_EQ(find(keychain, "Lockstep").secret, "a");
    ASSERT_EQ(add(keychain, "Lockstep", "bob", "b2"), errSecSuccess);
    EXPECT_EQ(find(keychain, "Lockstep").secret, "a");
    EXPECT_EQ(service_.SecKeychainItemDelete(oldest.item), errSecInvalidItemRef);
    EXPECT_EQ(find(keychain, "Lockstep", "bob").secret, "b2");
}

TEST_F(ItemsTest, AttributesOfAnItem) {
    SecKeychainItemRef item;
    ASSERT_EQ(add(systemKeychain(), "Lockstep", std::nullopt, "none", &item), errSecSuccess);
    EXPECT_EQ(accountOf(service_, item), "<none>");  // the attribute without data
    SecKeychainAttributeInfo info{{0x6c61626c /* 'labl' */}, {0}};
    SecKeychainAttributeList attributes;
    EXPECT_EQ(service_.SecKeychainItemCopyAttributesAndData(item, &info, nullptr, &attributes,
                                                            nullptr, nullptr),
              errSecNoSuchAttr);
}

TEST_F(ItemsTest, BadAddQueriesAreRefusedAndStoreNothing) {
    const auto keychain = systemKeychain();
    // A key given a value, or (nothing) left out of the query.
    const std::tuple<std::string_view, std::optional<CFValue>, OSStatus> cases[] = {
        {kSecClass, std::nullopt, errSecParam},
        {kSecAttrService, std::string(), errSecParam},
        {kSecAttrAccount, SecretBytes(toBytes("x")), errSecParam},
        {kSecAttrAccess, std::make_shared<SecAccess>(SecAccess{{nullptr}}), errSecParam},
        {"labl", std::string("label"), errSecParam},
        {kSecValueData, SecretBytes(Bytes(2U * 1024U * 1024U, 'x')), errSecDataTooLarge}};
    for (const auto& [key, value, expected] : cases) {
        CFDictionary query{{std::string(kSecClass), std::string(kSecClassGenericPassword)},
                           {std::string(kSecAttrService), std::string("Lockstep")},
                           {std::string(kSecValueData), SecretBytes(toBytes("pw"))},
                           {std::string(kSecUseKeychain), keychain}};
        query.erase(std::string(key));
        if (value) {
            query[std::string(key)] = *value;
        }
        SecKeychainItemRef item;
        EXPECT_EQ(service_.SecItemAdd(query, &item), expected) << key << " " << value.has_value();
        EXPECT_EQ(item, nullptr) << key;
    }
    EXPECT_FALSE(std::filesystem::exists(systemPath().parent_path()));  // nor a keychain
}

// Lookups create nothing, not even a folder; the first store creates the
// keychain, its key and the missing folders, all private.
TEST_F(ItemsTest, LookupsCreateNothingAndTheFirstStoreCreatesPrivately) {
    namespace fs = std::filesystem;
    const SecKeychainRef system = systemKeychain();
    EXPECT_EQ(find(nullptr, "Lockstep", "alice").status, errSecItemNotFound);
    fs::create_directory(systemPath().parent_path());
    writeFile(systemPath(), "", fs::perms(0600));  // a creation cut short is still no keychain
    EXPECT_EQ(find(system, "Lockstep").status, errSecItemNotFound);
    EXPECT_FALSE(fs::exists(dir_ / "user") || fs::exists(systemPath().string() + ".key"));
    // No keychain given means the user's default.
    ASSERT_EQ(add(nullptr, "Lockstep", "alice", "user secret"), errSecSuccess);
    EXPECT_EQ(find(system, "Lockstep", "alice").status, errSecItemNotFound);
    ASSERT_EQ(add(system, "Lockstep", "bob", "system secret"), errSecSuccess);
    EXPECT_EQ(find(systemKeychain(), "Lockstep", "bob").secret, "system secret");
    std::uint64_t modes = 0;
    for (const fs::path& path :
         std::vector<fs::path>{systemPath(), systemPath().string() + ".key", dir_ / "user",
                               dir_ / "user/login.keychain", dir_ / "user/login.keychain.key"}) {
        struct stat info {};
        EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
        modes = modes * 010000 + (info.st_mode & 07777);
    }
    EXPECT_EQ(modes, 0'0600'0600'0700'0600'0600ULL) << std::oct << modes;
    SecKeychainRef keychain;
    EXPECT_EQ(service_.SecKeychainCopyDomainDefault(SecPreferencesDomain{7}, &keychain),
              errSecParam);
}

}  // namespace
}  // namespace lockstep::testing
