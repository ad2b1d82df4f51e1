#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>

#include "keychain_test_support.h"

namespace lockstep::testing {
namespace {

using ItemsTest = KeychainTest;

std::string accountOf(SqliteKeychainService& service, const SecKeychainItemRef& item) {
    SecKeychainAttributeInfo info{{kSecAccountItemAttr}, {CSSM_DB_ATTRIBUTE_FORMAT_STRING}};
    SecKeychainAttributeList attributes;
    EXPECT_EQ(service.SecKeychainItemCopyAttributesAndData(item, &info, nullptr, &attributes,
                                                           nullptr, nullptr),
              errSecSuccess);
    if (attributes.size() != 1 || !attributes[0].data) {
        return "<none>";
    }
    return toString(*attributes[0].data);
}

unsigned modeOf(const std::filesystem::path& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777U;
}

TEST_F(ItemsTest, FindsWithAndWithoutAccount) {
    const auto keychain = systemKeychain();
    ASSERT_EQ(add(keychain, "Lockstep", "alice", "secret-1"), errSecSuccess);

    const Found byAccount = find(keychain, "Lockstep", "alice");
    ASSERT_EQ(byAccount.status, errSecSuccess);
    EXPECT_EQ(byAccount.secret, "secret-1");
    EXPECT_EQ(accountOf(service_, byAccount.item), "alice");

    const Found anyAccount = find(keychain, "Lockstep");
    ASSERT_EQ(anyAccount.status, errSecSuccess);
    EXPECT_EQ(anyAccount.secret, "secret-1");
    EXPECT_EQ(accountOf(service_, anyAccount.item), "alice");

    EXPECT_EQ(find(keychain, "Lockstep", "bob").status, errSecItemNotFound);
    EXPECT_EQ(find(keychain, "Other").status, errSecItemNotFound);

    // An empty secret is stored as it is; what to make of it is the caller's.
    ASSERT_EQ(add(keychain, "Empty", "alice", ""), errSecSuccess);
    const Found empty = find(keychain, "Empty", "alice");
    EXPECT_EQ(empty.status, errSecSuccess);
    EXPECT_EQ(empty.secret, "");
}

TEST_F(ItemsTest, LookupWithoutAccountGivesOldestItem) {
    const auto keychain = systemKeychain();
    ASSERT_EQ(add(keychain, "Lockstep", "bob", "b"), errSecSuccess);
    ASSERT_EQ(add(keychain, "Lockstep", "alice", "a"), errSecSuccess);
    ASSERT_EQ(add(keychain, "Lockstep", std::nullopt, "c"), errSecSuccess);

    Found oldest = find(keychain, "Lockstep");
    ASSERT_EQ(oldest.status, errSecSuccess);
    EXPECT_EQ(oldest.secret, "b");
    EXPECT_EQ(find(keychain, "Lockstep", "alice").secret, "a");

    ASSERT_EQ(service_.SecKeychainItemDelete(oldest.item), errSecSuccess);
    EXPECT_EQ(find(keychain, "Lockstep").secret, "a");
    // Adding bob again makes him the newest, not the oldest.
    ASSERT_EQ(add(keychain, "Lockstep", "bob", "b2"), errSecSuccess);
    EXPECT_EQ(find(keychain, "Lockstep").secret, "a");
}

TEST_F(ItemsTest, SecondItemForServiceAndAccountIsDuplicate) {
    const auto keychain = systemKeychain();
    ASSERT_EQ(add(keychain, "Lockstep", "alice", "first"), errSecSuccess);
    EXPECT_EQ(add(keychain, "Lockstep", "alice", "second"), errSecDuplicateItem);
    EXPECT_EQ(find(keychain, "Lockstep", "alice").secret, "first");

    // An absent account is a key of its own, distinct from an empty one.
    ASSERT_EQ(add(keychain, "Lockstep", std::nullopt, "none"), errSecSuccess);
    EXPECT_EQ(add(keychain, "Lockstep", std::nullopt, "none again"), errSecDuplicateItem);
    EXPECT_EQ(add(keychain, "Lockstep", "", "empty"), errSecSuccess);
    EXPECT_EQ(rawSql(systemPath(), "SELECT count(*) FROM genp"), std::vector<std::string>{"3"});
}

TEST_F(ItemsTest, ItemWithoutAccountGivesAttributeWithoutData) {
    const auto keychain = systemKeychain();
    SecKeychainItemRef item;
    ASSERT_EQ(add(keychain, "Lockstep", std::nullopt, "pw", &item), errSecSuccess);
    ASSERT_NE(item, nullptr);

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
    EXPECT_EQ(attributes[0].tag, kSecAccountItemAttr);
    EXPECT_FALSE(attributes[0].data.has_value());
    EXPECT_EQ(attributes[1].tag, kSecServiceItemAttr);
    EXPECT_EQ(attributes[1].data, toBytes("Lockstep"));
    EXPECT_EQ(length, 2U);
    EXPECT_EQ(toString(data.bytes()), "pw");

    SecKeychainAttributeInfo unknown{{0x6c61626c /* 'labl' */}, {0}};
    EXPECT_EQ(service_.SecKeychainItemCopyAttributesAndData(item, &unknown, nullptr, &attributes,
                                                            nullptr, nullptr),
              errSecNoSuchAttr);
}

TEST_F(ItemsTest, DeletedItemReferenceStaysInvalid) {
    const auto keychain = systemKeychain();
    SecKeychainItemRef item;
    ASSERT_EQ(add(keychain, "Lockstep", "alice", "old", &item), errSecSuccess);
    ASSERT_EQ(service_.SecKeychainItemDelete(item), errSecSuccess);
    EXPECT_EQ(find(keychain, "Lockstep", "alice").status, errSecItemNotFound);

    // The same service and account again: a new item the old reference
    // must not reach.
    ASSERT_EQ(add(keychain, "Lockstep", "alice", "new"), errSecSuccess);
    EXPECT_EQ(service_.SecKeychainItemDelete(item), errSecInvalidItemRef);
    SecKeychainAttributeList attributes;
    EXPECT_EQ(service_.SecKeychainItemCopyAttributesAndData(item, nullptr, nullptr, &attributes,
                                                            nullptr, nullptr),
              errSecInvalidItemRef);
    SecAccessRef access;
    EXPECT_EQ(service_.SecKeychainItemCopyAccess(item, &access), errSecInvalidItemRef);
    EXPECT_EQ(access, nullptr);
    EXPECT_EQ(find(keychain, "Lockstep", "alice").secret, "new");
}

TEST_F(ItemsTest, NonAsciiNamesAreExactBytes) {
    const auto keychain = systemKeychain();
    const std::string service =
        "Lockstep-\xC3\x9Cnic\xC3\xB8"
        "de-\xE9\x8D\xB5";
    const std::string account = "J\xC3\xBCrgen \xF0\x9F\x91\xA4";
    ASSERT_EQ(add(keychain, service, account, "p\xC3\xA4ss"), errSecSuccess);

    const Found found = find(keychain, service, account);
    ASSERT_EQ(found.status, errSecSuccess);
    EXPECT_EQ(found.secret, "p\xC3\xA4ss");
    EXPECT_EQ(accountOf(service_, found.item), account);
    EXPECT_EQ(find(keychain, service).secret, "p\xC3\xA4ss");

    // Byte comparison: no case folding, no trimming, no normalisation
    // ("U" + combining diaeresis is another name).
    EXPECT_EQ(find(keychain,
                   "lockstep-\xC3\x9Cnic\xC3\xB8"
                   "de-\xE9\x8D\xB5")
                  .status,
              errSecItemNotFound);
    EXPECT_EQ(find(keychain, service + " ").status, errSecItemNotFound);
    EXPECT_EQ(find(keychain, service, "JU\xCC\x88rgen \xF0\x9F\x91\xA4").status,
              errSecItemNotFound);
}

TEST_F(ItemsTest, FindChecksArgumentsAndFillsOnlyWhatIsAsked) {
    const auto keychain = systemKeychain();
    ASSERT_EQ(add(keychain, "Lockstep", "alice", "pw"), errSecSuccess);
    SecKeychainItemRef item;
    EXPECT_EQ(service_.SecKeychainFindGenericPassword(keychain, 0, nullptr, 0, nullptr, nullptr,
                                                      nullptr, &item),
              errSecParam);
    EXPECT_EQ(service_.SecKeychainFindGenericPassword(keychain, 8, "Lockstep", 5, nullptr, nullptr,
                                                      nullptr, &item),
              errSecParam);
    EXPECT_EQ(item, nullptr);
    ASSERT_EQ(service_.SecKeychainFindGenericPassword(keychain, 8, "Lockstep", 0, nullptr, nullptr,
                                                      nullptr, &item),
              errSecSuccess);
    EXPECT_NE(item, nullptr);
    // A zero account length matches any account even with a pointer.
    EXPECT_EQ(service_.SecKeychainFindGenericPassword(keychain, 8, "Lockstep", 0, "bob", nullptr,
                                                      nullptr, nullptr),
              errSecSuccess);
}

struct BadQuery {
    const char* name;
    void (*edit)(CFDictionary&);
    OSStatus expected;
};

TEST_F(ItemsTest, BadAddQueriesAreRefusedAndStoreNothing) {
    const auto keychain = systemKeychain();
    const BadQuery cases[] = {
        {"no class", [](CFDictionary& q) { q.erase(std::string(kSecClass)); }, errSecParam},
        {"other class", [](CFDictionary& q) { q[std::string(kSecClass)] = std::string("inet"); },
         errSecParam},
        {"no service", [](CFDictionary& q) { q.erase(std::string(kSecAttrService)); }, errSecParam},
        {"empty service", [](CFDictionary& q) { q[std::string(kSecAttrService)] = std::string(); },
         errSecParam},
        {"service not text", [](CFDictionary& q) { q[std::string(kSecAttrService)] = true; },
         errSecParam},
        {"account not text",
         [](CFDictionary& q) { q[std::string(kSecAttrAccount)] = SecretBytes(toBytes("x")); },
         errSecParam},
        {"no data", [](CFDictionary& q) { q.erase(std::string(kSecValueData)); }, errSecParam},
        {"data as text", [](CFDictionary& q) { q[std::string(kSecValueData)] = std::string("x"); },
         errSecParam},
        {"null access", [](CFDictionary& q) { q[std::string(kSecAttrAccess)] = SecAccessRef(); },
         errSecParam},
        {"access with null ACL",
         [](CFDictionary& q) {
             auto access = std::make_shared<SecAccess>();
             access->acls.push_back(nullptr);
             q[std::string(kSecAttrAccess)] = access;
         },
         errSecParam},
        {"null keychain",
         [](CFDictionary& q) { q[std::string(kSecUseKeychain)] = SecKeychainRef(); }, errSecParam},
        {"return ref not bool",
         [](CFDictionary& q) { q[std::string(kSecReturnRef)] = std::string("yes"); }, errSecParam},
        {"unknown key", [](CFDictionary& q) { q["labl"] = std::string("label"); }, errSecParam},
        {"huge secret",
         [](CFDictionary& q) {
             q[std::string(kSecValueData)] = SecretBytes(Bytes(2U * 1024U * 1024U, 'x'));
         },
         errSecDataTooLarge},
    };
    for (const BadQuery& c : cases) {
        CFDictionary query{
            {std::string(kSecClass), std::string(kSecClassGenericPassword)},
            {std::string(kSecAttrService), std::string("Lockstep")},
            {std::string(kSecAttrAccount), std::string("alice")},
            {std::string(kSecValueData), SecretBytes(toBytes("pw"))},
            {std::string(kSecUseKeychain), keychain},
            {std::string(kSecReturnRef), true},
        };
        c.edit(query);
        SecKeychainItemRef item;
        EXPECT_EQ(service_.SecItemAdd(query, &item), c.expected) << c.name;
        EXPECT_EQ(item, nullptr) << c.name;
    }
    EXPECT_EQ(rawSql(systemPath(), "SELECT count(*) FROM genp"), std::vector<std::string>{"0"});
}

TEST_F(ItemsTest, NoKeychainMeansUserDefault) {
    ASSERT_EQ(add(nullptr, "Lockstep", "alice", "user secret"), errSecSuccess);
    EXPECT_TRUE(std::filesystem::exists(userPath()));
    EXPECT_EQ(find(nullptr, "Lockstep", "alice").secret, "user secret");

    SecKeychainRef user;
    ASSERT_EQ(service_.SecKeychainCopyDomainDefault(kSecPreferencesDomainUser, &user),
              errSecSuccess);
    EXPECT_EQ(find(user, "Lockstep", "alice").secret, "user secret");
    EXPECT_EQ(find(systemKeychain(), "Lockstep", "alice").status, errSecItemNotFound);
}

TEST_F(ItemsTest, DomainDefaultsAreCreatedPrivate) {
    for (const auto domain : {kSecPreferencesDomainSystem, kSecPreferencesDomainUser}) {
        SecKeychainRef keychain;
        ASSERT_EQ(service_.SecKeychainCopyDomainDefault(domain, &keychain), errSecSuccess);
        ASSERT_NE(keychain, nullptr);
    }
    for (const auto& path : {systemPath(), userPath()}) {
        EXPECT_EQ(modeOf(path.parent_path()), 0700U) << path;
        EXPECT_EQ(modeOf(path), 0600U) << path;
        EXPECT_EQ(modeOf(path.string() + ".key"), 0600U) << path;
        EXPECT_EQ(std::filesystem::file_size(path.string() + ".key"), 32U);
    }
    // Missing intermediate folders are made too.
    auto deep = options();
    deep.systemKeychainPath = dir_ / "a/b/c/System.keychain";
    SqliteKeychainService other(deep);
    SecKeychainRef keychain;
    ASSERT_EQ(other.SecKeychainCopyDomainDefault(kSecPreferencesDomainSystem, &keychain),
              errSecSuccess);
    EXPECT_EQ(modeOf(dir_ / "a"), 0700U);
    EXPECT_EQ(modeOf(dir_ / "a/b/c"), 0700U);

    EXPECT_EQ(
        service_.SecKeychainCopyDomainDefault(static_cast<SecPreferencesDomain>(7), &keychain),
        errSecParam);
    EXPECT_EQ(service_.SecKeychainCopyDomainDefault(kSecPreferencesDomainUser, nullptr),
              errSecParam);
}

TEST(KeychainDefaults, PathsComeFromOptionsAndTheUserDatabase) {
    const SqliteKeychainService shipped;
    EXPECT_EQ(shipped.defaultKeychainPath(kSecPreferencesDomainSystem),
              std::filesystem::path("/var/lib/lockstep/System.keychain"));

    const struct passwd* entry = ::getpwuid(::getuid());
    ASSERT_NE(entry, nullptr);
    const auto expected =
        std::filesystem::path(entry->pw_dir) / ".local/share/lockstep/login.keychain";
    EXPECT_EQ(userDefaultKeychainPath(), expected);
    EXPECT_EQ(shipped.defaultKeychainPath(kSecPreferencesDomainUser), expected);

    SqliteKeychainOptions options;
    options.userKeychainPath = "/somewhere/login.keychain";
    EXPECT_EQ(SqliteKeychainService(options).defaultKeychainPath(kSecPreferencesDomainUser),
              std::filesystem::path("/somewhere/login.keychain"));
}

TEST_F(ItemsTest, RandomBytesComeFromTheSystem) {
    std::array<std::uint8_t, 64> first{};
    std::array<std::uint8_t, 64> second{};
    ASSERT_EQ(service_.SecRandomCopyBytes(kSecRandomDefault, first.size(), first.data()),
              errSecSuccess);
    ASSERT_EQ(service_.SecRandomCopyBytes(kSecRandomDefault, second.size(), second.data()),
              errSecSuccess);
    EXPECT_NE(first, second);
    EXPECT_EQ(service_.SecRandomCopyBytes(kSecRandomDefault, 0, nullptr), errSecSuccess);
    EXPECT_EQ(service_.SecRandomCopyBytes(kSecRandomDefault, 4, nullptr), errSecParam);
}

}  // namespace
}  // namespace lockstep::testing
