#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include "keychain_test_support.h"
#include "platform/keychain/acl_codec.h"
#include "platform/plist.h"

namespace lockstep::testing {
namespace {

using AccessTest = KeychainTest;

// SHA-256 of "#!/bin/sh\nexit 0\n", the calling program of the fixture.
constexpr char kProgramDigest[] =
    "306c6ca7407560340797866e077e053627ad409277d1b9da58106fce4cf717cb";

// A readable picture of an ACL list, for whole-list comparisons.
std::string describe(const std::vector<SecACLRef>& acls) {
    std::ostringstream out;
    for (const SecACLRef& acl : acls) {
        out << "[";
        for (const auto& tag : acl->authorizations) {
            out << tag << ",";
        }
        out << "] apps=";
        if (!acl->applications) {
            out << "any";
        } else {
            for (const auto& app : *acl->applications) {
                out << "(" << app->path << " " << keychain_internal::toHex(app->digest) << ")";
            }
        }
        out << " desc=" << keychain_internal::toHex(toBytes(acl->description))
            << " prompt=" << acl->promptSelector << "\n";
    }
    return out.str();
}

Bytes fromHex(const std::string& text) {
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::vector<std::string> partitionsOf(const std::string& description, PlistFormat* format) {
    std::vector<std::string> result;
    auto parsed = parsePlist(fromHex(description));
    EXPECT_TRUE(parsed.has_value());
    if (!parsed) {
        return result;
    }
    *format = parsed->format;
    plist_t list = plist_dict_get_item(parsed->root.get(), "Partitions");
    EXPECT_NE(list, nullptr);
    for (std::uint32_t i = 0; list != nullptr && i < plist_array_get_size(list); ++i) {
        std::uint64_t length = 0;
        const char* text = plist_get_string_ptr(plist_array_get_item(list, i), &length);
        result.emplace_back(text, static_cast<std::size_t>(length));
    }
    return result;
}

TEST_F(AccessTest, AccessCreateBuildsTheDefaultList) {
    SecAccessRef access;
    ASSERT_EQ(service_.SecAccessCreate("alice", std::nullopt, &access), errSecSuccess);
    ASSERT_NE(access, nullptr);
    const std::string program = programPath().string();
    const std::string programHex = keychain_internal::toHex(fromHex(kProgramDigest));
    EXPECT_EQ(describe(access->acls),
              "[ACLAuthorizationEncrypt,] apps=any desc=616c696365 prompt=0\n"
              "[ACLAuthorizationDecrypt,ACLAuthorizationDerive,ACLAuthorizationExportClear,"
              "ACLAuthorizationExportWrapped,ACLAuthorizationMAC,ACLAuthorizationSign,] apps=(" +
                  program + " " + programHex +
                  ") desc=616c696365 prompt=0\n"
                  "[ACLAuthorizationChangeACL,] apps=(" +
                  program + " " + programHex + ") desc=616c696365 prompt=0\n");
}

TEST_F(AccessTest, TrustedListReplacesTheCallingProgramInTheDecryptAcl) {
    SecTrustedApplicationRef folder;
    ASSERT_EQ(service_.SecTrustedApplicationCreateFromPath(dir_.path().c_str(), &folder),
              errSecSuccess);
    SecAccessRef access;
    ASSERT_EQ(service_.SecAccessCreate("d", std::vector{folder}, &access), errSecSuccess);
    ASSERT_EQ(access->acls.size(), 3U);
    ASSERT_TRUE(access->acls[1]->applications.has_value());
    ASSERT_EQ(access->acls[1]->applications->size(), 1U);
    EXPECT_EQ(access->acls[1]->applications->front()->path, dir_.path().string());
    EXPECT_EQ(access->acls[2]->applications->front()->path, programPath().string());

    ASSERT_EQ(service_.SecAccessCreate("d", std::vector<SecTrustedApplicationRef>{}, &access),
              errSecSuccess);
    ASSERT_TRUE(access->acls[1]->applications.has_value());
    EXPECT_TRUE(access->acls[1]->applications->empty());

    EXPECT_EQ(
        service_.SecAccessCreate("d", std::vector<SecTrustedApplicationRef>{nullptr}, &access),
        errSecParam);
}

TEST_F(AccessTest, AddStoresTheAccessAndAppendsThePartition) {
    const auto keychain = systemKeychain();
    SecAccessRef access;
    ASSERT_EQ(service_.SecAccessCreate("alice", std::nullopt, &access), errSecSuccess);
    const std::string before = describe(access->acls);
    SecKeychainItemRef item;
    ASSERT_EQ(add(keychain, "Lockstep", "alice", "pw", &item, access), errSecSuccess);
    // The caller's access object is left as it was.
    EXPECT_EQ(describe(access->acls), before);

    SecAccessRef stored;
    ASSERT_EQ(service_.SecKeychainItemCopyAccess(item, &stored), errSecSuccess);
    ASSERT_EQ(stored->acls.size(), 4U);
    EXPECT_EQ(describe({stored->acls.begin(), stored->acls.begin() + 3}), before);
    const SecACL& partition = *stored->acls[3];
    EXPECT_EQ(partition.authorizations, std::vector<std::string>{"ACLAuthorizationPartitionID"});
    PlistFormat format = PlistFormat::Binary;
    EXPECT_EQ(partitionsOf(partition.description, &format), std::vector<std::string>{"unsigned:"});
    EXPECT_EQ(format, PlistFormat::XML);
    EXPECT_EQ(partition.description.find_first_not_of("0123456789abcdef"), std::string::npos);
}

TEST_F(AccessTest, AddWithoutAccessStoresTheDefaultNamedAfterTheService) {
    auto options = this->options();
    options.partitionId = "teamid:TEST";
    SqliteKeychainService service(options);
    SecKeychainRef keychain;
    ASSERT_EQ(service.SecKeychainCopyDomainDefault(kSecPreferencesDomainSystem, &keychain),
              errSecSuccess);
    CFDictionary query{
        {std::string(kSecClass), std::string(kSecClassGenericPassword)},
        {std::string(kSecAttrService), std::string("Lockstep")},
        {std::string(kSecValueData), SecretBytes(toBytes("pw"))},
        {std::string(kSecUseKeychain), keychain},
        {std::string(kSecReturnRef), true},
    };
    SecKeychainItemRef item;
    ASSERT_EQ(service.SecItemAdd(query, &item), errSecSuccess);
    SecAccessRef stored;
    ASSERT_EQ(service.SecKeychainItemCopyAccess(item, &stored), errSecSuccess);
    SecAccessRef expected;
    ASSERT_EQ(service.SecAccessCreate("Lockstep", std::nullopt, &expected), errSecSuccess);
    ASSERT_EQ(stored->acls.size(), 4U);
    EXPECT_EQ(describe({stored->acls.begin(), stored->acls.begin() + 3}), describe(expected->acls));
    PlistFormat format = PlistFormat::Binary;
    EXPECT_EQ(partitionsOf(stored->acls[3]->description, &format),
              std::vector<std::string>{"teamid:TEST"});
}

TEST_F(AccessTest, ChangedAccessRoundTripsExactly) {
    const auto keychain = systemKeychain();
    SecAccessRef access;
    ASSERT_EQ(service_.SecAccessCreate("alice", std::nullopt, &access), errSecSuccess);
    SecTrustedApplicationRef folder;
    SecTrustedApplicationRef program;
    ASSERT_EQ(service_.SecTrustedApplicationCreateFromPath(dir_.path().c_str(), &folder),
              errSecSuccess);
    ASSERT_EQ(service_.SecTrustedApplicationCreateFromPath(programPath().c_str(), &program),
              errSecSuccess);
    const SecApplicationList apps = std::vector{folder, program};

    // As the credential store does before adding: the decrypt ACL trusts the
    // product's programs and has no description.
    std::optional<std::vector<SecACLRef>> acls;
    ASSERT_EQ(service_.SecAccessCopyACLList(access, &acls), errSecSuccess);
    ASSERT_TRUE(acls.has_value());
    for (const SecACLRef& acl : *acls) {
        const auto tags = service_.SecACLCopyAuthorizations(acl);
        if (std::find(tags.begin(), tags.end(), kACLAuthorizationDecrypt) != tags.end()) {
            std::uint16_t prompt = 0;
            ASSERT_EQ(service_.SecACLCopyContents(acl, nullptr, nullptr, &prompt), errSecSuccess);
            ASSERT_EQ(service_.SecACLSetContents(acl, apps, "", prompt), errSecSuccess);
        }
    }
    SecKeychainItemRef item;
    ASSERT_EQ(add(keychain, "Lockstep", "alice", "pw", &item, access), errSecSuccess);

    // After adding: rewrite the partition ACL with other bytes and selector.
    SecAccessRef stored;
    ASSERT_EQ(service_.SecKeychainItemCopyAccess(item, &stored), errSecSuccess);
    ASSERT_EQ(service_.SecAccessCopyACLList(stored, &acls), errSecSuccess);
    const std::string description("partition \xFF\x00\x01 \xC3\xA9", 16);
    for (const SecACLRef& acl : *acls) {
        const auto tags = service_.SecACLCopyAuthorizations(acl);
        if (tags == std::vector<std::string>{"ACLAuthorizationPartitionID"}) {
            ASSERT_EQ(service_.SecACLSetContents(acl, apps, description, 0x1234), errSecSuccess);
        }
    }
    ASSERT_EQ(service_.SecKeychainItemSetAccessWithPassword(item, stored, 0, nullptr),
              errSecSuccess);

    SecAccessRef reread;
    ASSERT_EQ(service_.SecKeychainItemCopyAccess(item, &reread), errSecSuccess);
    EXPECT_EQ(describe(reread->acls), describe(stored->acls));
    ASSERT_EQ(reread->acls.size(), 4U);
    EXPECT_EQ(reread->acls[3]->description, description);
    EXPECT_EQ(reread->acls[3]->promptSelector, 0x1234);
    EXPECT_EQ(reread->acls[1]->description, "");
    ASSERT_EQ(reread->acls[1]->applications->size(), 2U);
    EXPECT_TRUE(reread->acls[1]->applications->at(0)->digest.empty());
    EXPECT_EQ(reread->acls[1]->applications->at(1)->digest, program->digest);
    EXPECT_FALSE(reread->acls[0]->applications.has_value());
}

TEST_F(AccessTest, CopiedAccessIsFreshEachTime) {
    const auto keychain = systemKeychain();
    SecKeychainItemRef item;
    ASSERT_EQ(add(keychain, "Lockstep", "alice", "pw", &item), errSecSuccess);
    SecAccessRef first;
    SecAccessRef second;
    ASSERT_EQ(service_.SecKeychainItemCopyAccess(item, &first), errSecSuccess);
    ASSERT_EQ(service_.SecKeychainItemCopyAccess(item, &second), errSecSuccess);
    ASSERT_NE(first->acls[0], second->acls[0]);
    const std::string original = describe(second->acls);
    ASSERT_EQ(service_.SecACLSetContents(first->acls[0], std::nullopt, "changed", 7),
              errSecSuccess);
    EXPECT_EQ(describe(second->acls), original);
    SecAccessRef third;
    ASSERT_EQ(service_.SecKeychainItemCopyAccess(item, &third), errSecSuccess);
    EXPECT_EQ(describe(third->acls), original);
}

TEST_F(AccessTest, AnyKeychainPasswordAuthorisesTheChange) {
    const auto keychain = systemKeychain();
    SecKeychainItemRef item;
    ASSERT_EQ(add(keychain, "Lockstep", "alice", "pw", &item), errSecSuccess);
    SecAccessRef access;
    ASSERT_EQ(service_.SecKeychainItemCopyAccess(item, &access), errSecSuccess);
    EXPECT_EQ(service_.SecKeychainItemSetAccessWithPassword(item, access, 0, nullptr),
              errSecSuccess);
    EXPECT_EQ(service_.SecKeychainItemSetAccessWithPassword(item, access, 5, "hello"),
              errSecSuccess);
    EXPECT_EQ(service_.SecKeychainItemSetAccessWithPassword(item, access, 5, nullptr), errSecParam);
    EXPECT_EQ(service_.SecKeychainItemSetAccessWithPassword(item, nullptr, 0, nullptr),
              errSecParam);
    EXPECT_EQ(service_.SecKeychainItemSetAccessWithPassword(nullptr, access, 0, nullptr),
              errSecParam);
}

TEST_F(AccessTest, AclOperationsWorkInMemory) {
    SecAccessRef access;
    ASSERT_EQ(service_.SecAccessCreate("x", std::nullopt, &access), errSecSuccess);
    std::optional<std::vector<SecACLRef>> acls;
    ASSERT_EQ(service_.SecAccessCopyACLList(access, &acls), errSecSuccess);
    ASSERT_EQ(
        service_.SecACLSetContents(acls->at(0), std::vector<SecTrustedApplicationRef>{}, "new", 3),
        errSecSuccess);
    // The list holds the access object's own entries.
    EXPECT_EQ(access->acls[0]->description, "new");
    SecApplicationList apps;
    std::string description;
    std::uint16_t prompt = 0;
    ASSERT_EQ(service_.SecACLCopyContents(acls->at(0), &apps, &description, &prompt),
              errSecSuccess);
    EXPECT_TRUE(apps.has_value() && apps->empty());
    EXPECT_EQ(description, "new");
    EXPECT_EQ(prompt, 3);

    EXPECT_EQ(service_.SecAccessCopyACLList(nullptr, &acls), errSecParam);
    EXPECT_FALSE(acls.has_value());
    EXPECT_EQ(service_.SecACLCopyContents(nullptr, &apps, &description, &prompt), errSecParam);
    EXPECT_TRUE(service_.SecACLCopyAuthorizations(nullptr).empty());
    EXPECT_EQ(service_.SecACLSetContents(nullptr, std::nullopt, "", 0), errSecParam);
}

TEST_F(AccessTest, TrustedApplicationsFromPaths) {
    writeFile(dir_ / "hello", "hello\n");
    SecTrustedApplicationRef app;
    ASSERT_EQ(service_.SecTrustedApplicationCreateFromPath((dir_ / "hello").c_str(), &app),
              errSecSuccess);
    EXPECT_EQ(app->path, (dir_ / "hello").string());
    EXPECT_EQ(keychain_internal::toHex(app->digest),
              "5891b5b522d5df086d0ff0b110fbd9d21bb4fc7163af34d08286a2e846f6be03");

    ASSERT_EQ(service_.SecTrustedApplicationCreateFromPath(dir_.path().c_str(), &app),
              errSecSuccess);
    EXPECT_TRUE(app->digest.empty());

    ASSERT_EQ(service_.SecTrustedApplicationCreateFromPath(nullptr, &app), errSecSuccess);
    EXPECT_EQ(app->path, programPath().string());
    EXPECT_EQ(keychain_internal::toHex(app->digest), kProgramDigest);

    ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
    for (const std::string& path : {std::string(), (dir_ / "missing").string(),
                                    (dir_ / "hello/below").string(), (dir_ / "fifo").string()}) {
        SecTrustedApplicationRef none;
        EXPECT_EQ(service_.SecTrustedApplicationCreateFromPath(path.c_str(), &none), errSecParam)
            << path;
        EXPECT_EQ(none, nullptr);
    }
    if (::geteuid() != 0) {
        writeFile(dir_ / "secret", "x", std::filesystem::perms::none);
        EXPECT_EQ(service_.SecTrustedApplicationCreateFromPath((dir_ / "secret").c_str(), &app),
                  errSecIO);
    }
}

TEST_F(AccessTest, MissingCallingProgramFailsAccessCreation) {
    auto options = this->options();
    options.callingProgramPath = dir_ / "no-such-program";
    SqliteKeychainService service(options);
    SecAccessRef access;
    EXPECT_EQ(service.SecAccessCreate("x", std::nullopt, &access), errSecParam);
    EXPECT_EQ(access, nullptr);
}

TEST_F(AccessTest, DamagedStoredAclGivesCleanStatus) {
    const auto keychain = systemKeychain();
    SecKeychainItemRef item;
    ASSERT_EQ(add(keychain, "Lockstep", "alice", "pw", &item), errSecSuccess);

    // Property lists of the wrong shape, and bytes that are none at all.
    const char* blobs[] = {
        "x'00'",
        "x'62706c6973743030'",
        "x'62706c6973743030d0080000000000000101'",
        "CAST('<plist><dict/></plist>' AS BLOB)",
    };
    for (const char* blob : blobs) {
        rawSql(systemPath(), std::string("UPDATE genp SET acl = ") + blob);
        SecAccessRef access;
        EXPECT_EQ(service_.SecKeychainItemCopyAccess(item, &access), errSecDecode) << blob;
        EXPECT_EQ(access, nullptr);
        // The secret is still there.
        EXPECT_EQ(find(keychain, "Lockstep", "alice").secret, "pw");
    }
    std::vector<KeychainItemInfo> items;
    ASSERT_EQ(SqliteKeychainService::listItems(systemPath(), &items), errSecSuccess);
    ASSERT_EQ(items.size(), 1U);
    EXPECT_FALSE(items[0].acls.has_value());
}

TEST(AclCodec, RefusesMalformedForms) {
    auto acl = std::make_shared<SecACL>(SecACL{{"A"}, std::nullopt, "d", 1});
    const auto good = keychain_internal::encodeAclList({acl});
    ASSERT_TRUE(good.has_value());
    ASSERT_TRUE(keychain_internal::decodeAclList(*good).has_value());

    // Every truncation of a valid form is refused without a crash.
    for (std::size_t length = 0; length < good->size(); ++length) {
        const Bytes cut(good->begin(), good->begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_FALSE(keychain_internal::decodeAclList(cut).has_value()) << length;
    }
    // A prompt selector beyond 16 bits.
    const PlistPtr root(plist_new_dict());
    plist_dict_set_item(root.get(), "Version", plist_new_uint(1));
    plist_t list = plist_new_array();
    plist_dict_set_item(root.get(), "ACLs", list);
    plist_t entry = plist_new_dict();
    plist_array_append_item(list, entry);
    plist_dict_set_item(entry, "Authorizations", plist_new_array());
    plist_dict_set_item(entry, "Description", plist_new_data("", 0));
    plist_dict_set_item(entry, "PromptSelector", plist_new_uint(70000));
    const auto wide = serializePlist(root.get(), PlistFormat::Binary);
    ASSERT_TRUE(wide.has_value());
    EXPECT_FALSE(keychain_internal::decodeAclList(*wide).has_value());

    EXPECT_FALSE(keychain_internal::encodeAclList({nullptr}).has_value());
}

}  // namespace
}  // namespace lockstep::testing
