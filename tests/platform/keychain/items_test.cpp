#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
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

unsigned modeOf(const std::filesystem::path& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777U;
}

TEST_F(ItemsTest, FindsByExactAccountOrTheOldestItemOfTheService) {
    const auto keychain = systemKeychain();
    ASSERT_EQ(add(keychain, "Lockstep", "bob", "b"), errSecSuccess);
    ASSERT_EQ(add(keychain, "Lockstep", "alice", "a"), errSecSuccess);
    ASSERT_EQ(add(keychain, "Lockstep", std::nullopt, "c"), errSecSuccess);
    EXPECT_EQ(add(keychain, "Lockstep", "alice", "second"), errSecDuplicateItem);
    EXPECT_EQ(add(keychain, "Lockstep", std::nullopt, "again"), errSecDuplicateItem);
    ASSERT_EQ(add(keychain, "Lockstep", "", ""), errSecSuccess);  // empty: not absent
    const Found alice = find(keychain, "Lockstep", "alice");
    EXPECT_EQ(alice.secret, "a");
    EXPECT_EQ(accountOf(service_, alice.item), "alice");
    const Found oldest = find(keychain, "Lockstep");
    EXPECT_EQ(accountOf(service_, oldest.item), "bob");
    EXPECT_EQ(find(keychain, "Lockstep", "carol").status, errSecItemNotFound);
    EXPECT_EQ(find(keychain, "Other").status, errSecItemNotFound);

    // A zero account length matches any account, even with a pointer; a
    // missing account pointer is refused and fills nothing.
    SecKeychainItemRef item;
    EXPECT_EQ(service_.SecKeychainFindGenericPassword(keychain, 8, "Lockstep", 5, nullptr, nullptr,
                                                      nullptr, &item),
              errSecParam);
    EXPECT_EQ(item, nullptr);
    ASSERT_EQ(service_.SecKeychainFindGenericPassword(keychain, 8, "Lockstep", 0, "carol", nullptr,
                                                      nullptr, &item),
              errSecSuccess);
    EXPECT_EQ(accountOf(service_, item), "bob");

    // Adding bob again after a delete makes a new, newest item that the
    // deleted one's reference must not reach.
    ASSERT_EQ(service_.SecKeychainItemDelete(oldest.item), errSecSuccess);
    EXPECT_EQ(find(keychain, "Lockstep").secret, "a");
    ASSERT_EQ(add(keychain, "Lockstep", "bob", "b2"), errSecSuccess);
    EXPECT_EQ(find(keychain, "Lockstep").secret, "a");
    EXPECT_EQ(service_.SecKeychainItemDelete(oldest.item), errSecInvalidItemRef);
    SecAccessRef access;
    EXPECT_EQ(service_.SecKeychainItemCopyAccess(oldest.item, &access), errSecInvalidItemRef);
    EXPECT_EQ(find(keychain, "Lockstep", "bob").secret, "b2");

    // Names are compared as exact bytes: no case folding or trimming.
    EXPECT_EQ(find(keychain, "lockstep").status, errSecItemNotFound);
    EXPECT_EQ(find(keychain, "Lockstep", "bob ").status, errSecItemNotFound);
}

TEST_F(ItemsTest, AttributesOfAnItem) {
    SecKeychainItemRef item;
    ASSERT_EQ(add(systemKeychain(), "Lockstep", std::nullopt, "none", &item), errSecSuccess);
    SecKeychainAttributeInfo info{{kSecAccountItemAttr, kSecServiceItemAttr}, {0, 0}};
    SecItemClass itemClass = 0;
    SecKeychainAttributeList attributes;
    std::uint32_t length = 0;
    SecretBytes data;
    ASSERT_EQ(service_.SecKeychainItemCopyAttributesAndData(item, &info, &itemClass, &attributes,
                                                            &length, &data),
              errSecSuccess);
    EXPECT_EQ(itemClass, kSecGenericPasswordItemClass);
    ASSERT_EQ(attributes.size(), 2U);
    // An absent account gives the attribute without data.
    EXPECT_TRUE(attributes[0].tag == kSecAccountItemAttr && !attributes[0].data);
    EXPECT_TRUE(attributes[1].tag == kSecServiceItemAttr &&
                attributes[1].data == toBytes("Lockstep"));
    EXPECT_EQ(length, 4U);
    EXPECT_EQ(toString(data.bytes()), "none");
    info.tags = {0x6c61626c /* 'labl' */};
    EXPECT_EQ(service_.SecKeychainItemCopyAttributesAndData(item, &info, nullptr, &attributes,
                                                            nullptr, nullptr),
              errSecNoSuchAttr);
}

TEST_F(ItemsTest, BadAddQueriesAreRefusedAndStoreNothing) {
    const auto keychain = systemKeychain();
    const auto nullAcl = std::make_shared<SecAccess>(SecAccess{{nullptr}});
    // A key given a value, or (nothing) left out of the query.
    const std::tuple<std::string_view, std::optional<CFValue>, OSStatus> cases[] = {
        {kSecClass, std::nullopt, errSecParam},
        {kSecClass, std::string("inet"), errSecParam},
        {kSecAttrService, std::nullopt, errSecParam},
        {kSecAttrService, std::string(), errSecParam},
        {kSecAttrService, true, errSecParam},
        {kSecAttrAccount, SecretBytes(toBytes("x")), errSecParam},
        {kSecValueData, std::nullopt, errSecParam},
        {kSecValueData, std::string("x"), errSecParam},
        {kSecAttrAccess, SecAccessRef(), errSecParam},
        {kSecAttrAccess, nullAcl, errSecParam},
        {kSecUseKeychain, SecKeychainRef(), errSecParam},
        {kSecReturnRef, std::string("yes"), errSecParam},
        {"labl", std::string("label"), errSecParam},
        {kSecValueData, SecretBytes(Bytes(2U * 1024U * 1024U, 'x')), errSecDataTooLarge}};
    for (const auto& [key, value, expected] : cases) {
        CFDictionary query{
            {std::string(kSecClass), std::string(kSecClassGenericPassword)},
            {std::string(kSecAttrService), std::string("Lockstep")},
            {std::string(kSecAttrAccount), std::string("alice")},
            {std::string(kSecValueData), SecretBytes(toBytes("pw"))},
            {std::string(kSecUseKeychain), keychain},
            {std::string(kSecReturnRef), true},
        };
        if (value) {
            query[std::string(key)] = *value;
        } else {
            query.erase(std::string(key));
        }
        SecKeychainItemRef item;
        EXPECT_EQ(service_.SecItemAdd(query, &item), expected) << key << " " << value.has_value();
        EXPECT_EQ(item, nullptr) << key;
    }
    EXPECT_FALSE(std::filesystem::exists(systemPath().parent_path()));  // nor a keychain
}

// Obtaining a domain default and looking items up are read only and create
// nothing, not even a folder; the first store creates the keychain, its key
// and the missing folders, all private. A lookup handle then sees what a
// store made.
TEST_F(ItemsTest, LookupsCreateNothingAndTheFirstStoreCreatesPrivately) {
    namespace fs = std::filesystem;
    SecKeychainRef user;
    ASSERT_EQ(service_.SecKeychainCopyDomainDefault(kSecPreferencesDomainUser, &user),
              errSecSuccess);
    const SecKeychainRef system = systemKeychain();
    EXPECT_EQ(find(system, "Lockstep").status, errSecItemNotFound);
    EXPECT_EQ(find(nullptr, "Lockstep", "alice").status, errSecItemNotFound);
    EXPECT_FALSE(fs::exists(dir_ / "system") || fs::exists(dir_ / "user"));
    // An empty database file (a creation cut short) is still no keychain.
    fs::create_directory(systemPath().parent_path());
    writeFile(systemPath(), "", fs::perms(0600));
    EXPECT_EQ(find(systemKeychain(), "Lockstep").status, errSecItemNotFound);
    EXPECT_EQ(fs::file_size(systemPath()), 0U);
    EXPECT_FALSE(fs::exists(systemPath().string() + ".key"));

    // No keychain given means the user's default.
    ASSERT_EQ(add(nullptr, "Lockstep", "alice", "user secret"), errSecSuccess);
    EXPECT_EQ(find(user, "Lockstep", "alice").secret, "user secret");
    EXPECT_EQ(find(system, "Lockstep", "alice").status, errSecItemNotFound);
    ASSERT_EQ(add(system, "Lockstep", "bob", "system secret"), errSecSuccess);
    EXPECT_EQ(find(systemKeychain(), "Lockstep", "bob").secret, "system secret");
    for (const auto& path : {systemPath(), dir_ / "user/login.keychain"}) {
        EXPECT_EQ(modeOf(path), 0600U) << path;
        EXPECT_EQ(modeOf(path.string() + ".key"), 0600U) << path;
    }
    auto deep = options();
    deep.systemKeychainPath = dir_ / "a/b/c/System.keychain";
    SqliteKeychainService other(deep);
    SecKeychainRef keychain;
    ASSERT_EQ(other.SecKeychainCopyDomainDefault(kSecPreferencesDomainSystem, &keychain),
              errSecSuccess);
    EXPECT_FALSE(fs::exists(dir_ / "a"));
    ASSERT_EQ(other.SecItemAdd({{std::string(kSecClass), std::string(kSecClassGenericPassword)},
                                {std::string(kSecAttrService), std::string("Lockstep")},
                                {std::string(kSecValueData), SecretBytes(toBytes("x"))},
                                {std::string(kSecUseKeychain), keychain}},
                               nullptr),
              errSecSuccess);
    EXPECT_EQ(modeOf(dir_ / "a") | modeOf(dir_ / "a/b/c") | modeOf(dir_ / "user"), 0700U);
    EXPECT_EQ(service_.SecKeychainCopyDomainDefault(SecPreferencesDomain{7}, &keychain),
              errSecParam);
}

TEST_F(ItemsTest, ShippedPathsAndRandomBytesComeFromTheSystem) {
    const SqliteKeychainService shipped;
    const struct passwd* entry = ::getpwuid(::getuid());
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(shipped.defaultKeychainPath(kSecPreferencesDomainUser),
              std::filesystem::path(entry->pw_dir) / ".local/share/lockstep/login.keychain");

    std::array<std::uint8_t, 64> first{}, second{};
    ASSERT_EQ(service_.SecRandomCopyBytes(kSecRandomDefault, 64, first.data()), errSecSuccess);
    ASSERT_EQ(service_.SecRandomCopyBytes(kSecRandomDefault, 64, second.data()), errSecSuccess);
    EXPECT_NE(first, second);
    EXPECT_EQ(service_.SecRandomCopyBytes(kSecRandomDefault, 4, nullptr), errSecParam);
}

}  // namespace
}  // namespace lockstep::testing
