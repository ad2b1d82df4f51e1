#include <plist/plist.h>
#include <sys/stat.h>

#include <sstream>

#include "keychain_test_support.h"
#include "platform/keychain/acl_codec.h"
#include "platform/plist.h"
#include "platform/text.h"

namespace lockstep::testing {
namespace {

using Apps = std::vector<SecTrustedApplicationRef>;

// SHA-256 of "#!/bin/sh\nexit 0\n", the calling program of the fixture.
constexpr char kProgramDigest[] =
    "306c6ca7407560340797866e077e053627ad409277d1b9da58106fce4cf717cb";
constexpr char kUseTags[] =
    "ACLAuthorizationDecrypt,ACLAuthorizationDerive,ACLAuthorizationExportClear,"
    "ACLAuthorizationExportWrapped,ACLAuthorizationMAC,ACLAuthorizationSign,";

// A readable picture of an ACL list, for whole-list comparisons.
std::string describe(const std::vector<SecACLRef>& acls, std::size_t count = 3) {
    std::ostringstream out;
    for (std::size_t i = 0; i < count && i < acls.size(); ++i) {
        out << "[";
        for (const auto& tag : acls[i]->authorizations) {
            out << tag << ",";
        }
        out << "] apps=" << (acls[i]->applications ? "" : "any");
        for (const auto& app : acls[i]->applications.value_or(Apps{})) {
            out << "(" << app->path << " " << hexEncode(app->digest) << ")";
        }
        out << " desc=" << hexEncode(toBytes(acls[i]->description))
            << " prompt=" << acls[i]->promptSelector << "\n";
    }
    return out.str();
}

class AccessTest : public KeychainTest {
  protected:
    // The three ACLs SecAccessCreate makes, with the descriptor in hex.
    [[nodiscard]] std::string defaultAcls(const std::string& desc, std::string apps = "") const {
        const std::string tail = " desc=" + desc + " prompt=0\n";
        const std::string self = "(" + programPath().string() + " " + kProgramDigest + ")";
        return "[ACLAuthorizationEncrypt,] apps=any" + tail + "[" + kUseTags +
               "] apps=" + (apps.empty() ? self : apps) + tail +
               "[ACLAuthorizationChangeACL,] apps=" + self + tail;
    }
};

TEST_F(AccessTest, DefaultAccessAndTrustedApplicationsFromPaths) {
    SecAccessRef access;
    SecKeychainItemRef item;
    ASSERT_EQ(add(systemKeychain(), "Other", std::nullopt, "pw", &item), errSecSuccess);
    ASSERT_EQ(service_.SecKeychainItemCopyAccess(item, &access), errSecSuccess);
    EXPECT_EQ(describe(access->acls), defaultAcls("4f74686572"));  // named after the service
    // A trusted list takes the calling program's place in the decrypt ACL only.
    SecTrustedApplicationRef folder;
    ASSERT_EQ(service_.SecTrustedApplicationCreateFromPath(dir_.path().c_str(), &folder),
              errSecSuccess);
    ASSERT_EQ(service_.SecAccessCreate("d", std::vector{folder}, &access), errSecSuccess);
    EXPECT_EQ(describe(access->acls), defaultAcls("64", "(" + dir_.path().string() + " )"));
    // Refused: a missing path, a path below a file, a FIFO (must not block the open).
    ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
    for (const auto& path : {dir_ / "missing", programPath() / "below", dir_ / "fifo"}) {
        EXPECT_EQ(service_.SecTrustedApplicationCreateFromPath(path.c_str(), &folder), errSecParam)
            << path;
    }
}

TEST_F(AccessTest, ChangedAccessRoundTripsExactly) {
    SecAccessRef access;
    ASSERT_EQ(service_.SecAccessCreate("alice", std::nullopt, &access), errSecSuccess);
    // Through the ACL list, which holds the access object's own entries.
    std::optional<std::vector<SecACLRef>> acls;
    ASSERT_EQ(service_.SecAccessCopyACLList(access, &acls), errSecSuccess);
    ASSERT_EQ(service_.SecACLCopyAuthorizations(acls->at(1)).front(), kACLAuthorizationDecrypt);
    ASSERT_EQ(service_.SecACLSetContents(acls->at(1), Apps{}, "", 0), errSecSuccess);
    const std::string given = describe(access->acls);
    SecKeychainItemRef item;
    ASSERT_EQ(add(systemKeychain(), "Lockstep", "alice", "pw", &item, access), errSecSuccess);
    // Stored: the given ACLs, then the creating program's partition; each copy is one of its own.
    SecAccessRef stored, other;
    ASSERT_EQ(service_.SecKeychainItemCopyAccess(item, &stored) +
                  service_.SecKeychainItemCopyAccess(item, &other),
              errSecSuccess);
    EXPECT_EQ(describe(stored->acls), given);
    const std::string original = describe(other->acls, 4);
    ASSERT_EQ(service_.SecACLSetContents(stored->acls.at(3), std::nullopt,
                                         std::string("partition \xFF\x00\x01", 13), 0x1234),
              errSecSuccess);
    EXPECT_EQ(describe(other->acls, 4), original);
    // These keychains have no password of their own: any one authorises the change.
    EXPECT_EQ(service_.SecKeychainItemSetAccessWithPassword(item, stored, 5, nullptr), errSecParam);
    ASSERT_EQ(service_.SecKeychainItemSetAccessWithPassword(item, stored, 5, "hello"),
              errSecSuccess);
    SecAccessRef reread;
    ASSERT_EQ(service_.SecKeychainItemCopyAccess(item, &reread), errSecSuccess);
    EXPECT_EQ(describe(reread->acls, 4), describe(stored->acls, 4));
    EXPECT_NE(describe(reread->acls, 4), original);
}

TEST_F(AccessTest, DamagedStoredAclGivesCleanStatus) {
    const auto keychain = systemKeychain();
    SecKeychainItemRef item;
    ASSERT_EQ(add(keychain, "Lockstep", "alice", "pw", &item), errSecSuccess);
    // Property lists of the wrong shape or kind, and bytes that are none at all.
    for (const char* blob : {"x'00'", "CAST('<plist><dict/></plist>' AS BLOB)"}) {
        rawSql(systemPath(), std::string("UPDATE genp SET acl = ") + blob);
        SecAccessRef access;
        EXPECT_EQ(service_.SecKeychainItemCopyAccess(item, &access), errSecDecode) << blob;
        EXPECT_EQ(find(keychain, "Lockstep", "alice").secret, "pw");  // the secret is still there
    }
    std::vector<KeychainItemInfo> items;
    ASSERT_EQ(SqliteKeychainService::listItems(systemPath(), &items), errSecSuccess);
    EXPECT_TRUE(items.size() == 1U && !items[0].acls.has_value());
}

TEST(AclCodec, RefusesMalformedForms) {
    const auto good = keychain_internal::encodeAclList(
        {std::make_shared<SecACL>(SecACL{{"A"}, std::nullopt, "d", 1})});
    ASSERT_TRUE(good && keychain_internal::decodeAclList(*good));
    // Every truncation of a valid form is refused without a crash.
    for (std::size_t length = 0; length < good->size(); ++length) {
        const Bytes cut(good->begin(), good->begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_FALSE(keychain_internal::decodeAclList(cut).has_value()) << length;
    }
    // A prompt selector beyond 16 bits.
    auto parsed = parsePlist(*good);
    ASSERT_TRUE(parsed.has_value());
    plist_t entry = plist_array_get_item(plist_dict_get_item(parsed->root.get(), "ACLs"), 0);
    plist_dict_set_item(entry, "PromptSelector", plist_new_uint(70000));
    EXPECT_FALSE(keychain_internal::decodeAclList(
        serializePlist(parsed->root.get(), PlistFormat::Binary).value()));
}

}  // namespace
}  // namespace lockstep::testing
