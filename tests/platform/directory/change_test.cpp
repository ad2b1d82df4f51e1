#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "local_directory_fixture.h"
#include "platform/directory/side_store.h"
#include "platform/scoped_fd.h"

namespace lockstep::testing::local_directory {
namespace {

using ::testing::ElementsAre;

using ChangeTest = DirectoryTest;

std::int64_t codeOf(const std::optional<ODError>& error) {
    return error ? error->code() : 0;
}

TEST_F(ChangeTest, MembershipCountsListedMembersAndPrimaryGroup) {
    const auto admin = group("admin");
    std::optional<ODError> error;
    EXPECT_TRUE(service.isMemberRecord(admin, user("carol"), &error));  // listed
    EXPECT_TRUE(service.isMemberRecord(admin, user("bob"), &error));    // primary group 20
    EXPECT_FALSE(error);
    EXPECT_FALSE(service.isMemberRecord(admin, user("alice"), &error));
    EXPECT_EQ(codeOf(error), kODErrorRecordNotAMember);

    error.reset();
    EXPECT_FALSE(service.isMemberRecord(user("alice"), user("bob"), &error));
    EXPECT_EQ(codeOf(error), kODErrorRecordInvalidType);
    writeEtc("group", "root:x:0:\n");
    EXPECT_FALSE(service.isMemberRecord(admin, user("carol"), &error));
    EXPECT_EQ(codeOf(error), kODErrorRecordNoLongerExists);
}

TEST_F(ChangeTest, AddAndRemoveKeepGShadowInStep) {
    const auto admin = group("admin");
    const auto alice = user("alice");
    std::optional<ODError> error;
    ASSERT_TRUE(service.addMemberRecord(admin, alice, &error)) << error->localizedDescription();
    EXPECT_EQ(readEtc("group"),
              "root:x:0:\nadmin:x:20:carol,alice\nalice:x:1001:\ncarol:x:1003:\n");
    EXPECT_EQ(readEtc("gshadow"), "root:*::\nadmin:!::carol,alice\nalice:!::\n");
    EXPECT_TRUE(service.isMemberRecord(admin, alice, &error));
    EXPECT_THAT(texts(*service.valuesForAttribute(admin, kODAttributeTypeGroupMembership, &error)),
                ElementsAre("carol", "alice"));

    // Adding again changes nothing.
    ASSERT_TRUE(service.addMemberRecord(admin, alice, &error));
    EXPECT_EQ(readEtc("group"),
              "root:x:0:\nadmin:x:20:carol,alice\nalice:x:1001:\ncarol:x:1003:\n");

    ASSERT_TRUE(service.removeMemberRecord(admin, user("carol"), &error));
    EXPECT_EQ(readEtc("group"), "root:x:0:\nadmin:x:20:alice\nalice:x:1001:\ncarol:x:1003:\n");
    EXPECT_EQ(readEtc("gshadow"), "root:*::\nadmin:!::alice\nalice:!::\n");
    // Removing a non-member changes nothing and succeeds.
    ASSERT_TRUE(service.removeMemberRecord(admin, user("carol"), &error));
    EXPECT_EQ(readEtc("gshadow"), "root:*::\nadmin:!::alice\nalice:!::\n");
    EXPECT_FALSE(service.isMemberRecord(admin, user("carol"), &error));
}

TEST_F(ChangeTest, GroupMissingFromGShadowOrNoGShadowAtAll) {
    std::optional<ODError> error;
    ASSERT_TRUE(service.addMemberRecord(group("carol"), user("alice"), &error));
    EXPECT_EQ(readEtc("gshadow"), kGShadow);
    std::filesystem::remove(etc("gshadow"));
    ASSERT_TRUE(service.addMemberRecord(group("admin"), user("alice"), &error));
    EXPECT_FALSE(std::filesystem::exists(etc("gshadow")));
}

TEST_F(ChangeTest, PrimaryGroupMembershipCannotBeRemoved) {
    std::optional<ODError> error;
    EXPECT_FALSE(service.removeMemberRecord(group("admin"), user("bob"), &error));
    EXPECT_EQ(codeOf(error), kODErrorRecordParameterError);
    EXPECT_EQ(readEtc("group"), kGroup);
}

TEST_F(ChangeTest, RewriteKeepsOtherLinesModeAndOwner) {
    const std::string odd = "# comment\nbroken line\nadmin:x:20:carol\n+nis\nstaff:x:50:";
    writeEtc("group", odd, 0640);
    const bool isRoot = ::geteuid() == 0;
    const gid_t gid = isRoot ? 42 : ::getegid();
    ASSERT_EQ(::chown(etc("group").c_str(), ::geteuid(), gid), 0);
    std::optional<ODError> error;
    ASSERT_TRUE(service.addMemberRecord(group("staff"), user("alice"), &error))
        << error->localizedDescription();
    EXPECT_EQ(readEtc("group"), "# comment\nbroken line\nadmin:x:20:carol\n+nis\nstaff:x:50:alice");
    struct stat info {};
    ASSERT_EQ(::stat(etc("group").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640U);
    EXPECT_EQ(info.st_gid, gid);
    EXPECT_FALSE(std::filesystem::exists(etc(".group.lockstep-new")));
}

// As root, permissions do not stop a write; a folder where the new file must
// be created does.
TEST_F(ChangeTest, FailedWriteLeavesTheFilesAsTheyWere) {
    std::filesystem::create_directory(etc(".gshadow.lockstep-new"));
    std::optional<ODError> error;
    EXPECT_FALSE(service.addMemberRecord(group("admin"), user("alice"), &error));
    EXPECT_TRUE(error);
    EXPECT_EQ(readEtc("group"), kGroup);
    EXPECT_EQ(readEtc("gshadow"), kGShadow);
    EXPECT_FALSE(std::filesystem::exists(etc(".group.lockstep-new")));

    std::filesystem::create_directory(etc(".passwd.lockstep-new"));
    EXPECT_FALSE(service.setValueForAttribute(user("alice"), ODValue(std::string("/bin/zsh")),
                                              kODAttributeTypeUserShell, &error));
    EXPECT_EQ(readEtc("passwd"), kPasswd);
}

TEST_F(ChangeTest, LockHeldElsewhereTimesOut) {
    // An open-file-description lock conflicts with the service's record lock
    // even inside one process.
    const ScopedFD held(::open(etc(".pwd.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_TRUE(held);
    struct flock request {};
    request.l_type = F_WRLCK;
    request.l_whence = SEEK_SET;
    ASSERT_EQ(::fcntl(held.get(), F_OFD_SETLK, &request), 0);
    std::optional<ODError> error;
    EXPECT_FALSE(service.addMemberRecord(group("admin"), user("alice"), &error));
    ASSERT_TRUE(error);
    EXPECT_NE(error->localizedDescription().find("locked"), std::string::npos);
    EXPECT_EQ(readEtc("group"), kGroup);
}

TEST_F(ChangeTest, NativeAttributesRoundTripThroughTheSideStore) {
    const auto alice = user("alice");
    std::optional<ODError> error;
    ASSERT_TRUE(service.setValueForAttribute(alice, ODValue(std::string("1")),
                                             "dsAttrTypeNative:_tessel_promoted_to_admin", &error));
    ASSERT_TRUE(service.setValueForAttribute(alice, ODValue(Bytes{0, 1, 2, 0xff}),
                                             "dsAttrTypeNative:blob", &error));
    EXPECT_THAT(texts(*service.valuesForAttribute(
                    alice, "dsAttrTypeNative:_tessel_promoted_to_admin", &error)),
                ElementsAre("1"));
    const auto path = root.path() / "var/lib/lockstep/directory/users/alice.plist";
    ASSERT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(readEtc("passwd"), kPasswd);

    const auto again = user("alice");
    const auto& attributes = again->attributes();
    ASSERT_EQ(attributes.count("dsAttrTypeNative:blob"), 1U);
    EXPECT_EQ(std::get<Bytes>(attributes.at("dsAttrTypeNative:blob").at(0)),
              (Bytes{0, 1, 2, 0xff}));
    EXPECT_THAT(texts(attributes.at("dsAttrTypeNative:_tessel_promoted_to_admin")),
                ElementsAre("1"));
    // Other records are untouched.
    EXPECT_EQ(user("bob")->attributes().size(), 1U);
}

TEST_F(ChangeTest, DamagedSideStoreIsReadAsEmptyAndNotOverwritten) {
    const auto path = root.path() / "var/lib/lockstep/directory/users/alice.plist";
    writeFile(path, "<plist><dict><key>dsAttrTypeNative:x</key><garbage",
              std::filesystem::perms(0600));
    const auto alice = user("alice");
    EXPECT_EQ(alice->attributes().size(), 1U);
    std::optional<ODError> error;
    EXPECT_FALSE(service.setValueForAttribute(alice, ODValue(std::string("1")),
                                              "dsAttrTypeNative:x", &error));
    EXPECT_TRUE(error);
    EXPECT_EQ(readFile(path), "<plist><dict><key>dsAttrTypeNative:x</key><garbage");
}

TEST_F(ChangeTest, PasswdFieldsThatCanBeSet) {
    const auto alice = user("alice");
    std::optional<ODError> error;
    ASSERT_TRUE(service.setValueForAttribute(alice, ODValue(std::string("Alice P. Liddell")),
                                             kODAttributeTypeFullName, &error));
    ASSERT_TRUE(service.setValueForAttribute(alice, ODValue(std::string("/bin/zsh")),
                                             kODAttributeTypeUserShell, &error));
    EXPECT_NE(readEtc("passwd").find(
                  "\nalice:x:1001:1001:Alice P. Liddell,Room 1,,:/home/alice:/bin/zsh\n"),
              std::string::npos);
    EXPECT_THAT(texts(*service.valuesForAttribute(alice, kODAttributeTypeUserShell, &error)),
                ElementsAre("/bin/zsh"));

    struct Refusal {
        std::string_view attribute;
        ODValue value;
        std::int64_t code;
    };
    const Refusal refusals[] = {
        {kODAttributeTypeUserShell, ODValue(std::string("/bin/sh:0:0")),
         kODErrorRecordParameterError},
        {kODAttributeTypeNFSHomeDirectory, ODValue(std::string("/x\nevil::0:0")),
         kODErrorRecordParameterError},
        {kODAttributeTypeFullName, ODValue(std::string("A,B")), kODErrorRecordParameterError},
        {kODAttributeTypeUserShell, ODValue(Bytes{1}), kODErrorRecordParameterError},
        {kODAttributeTypeUniqueID, ODValue(std::string("0")), kODErrorRecordPermissionError},
        {"dsAttrTypeStandard:Comment", ODValue(std::string("x")),
         kODErrorRecordAttributeUnknownType},
    };
    const std::string before = readEtc("passwd");
    for (const auto& refusal : refusals) {
        error.reset();
        EXPECT_FALSE(service.setValueForAttribute(alice, refusal.value, refusal.attribute, &error));
        EXPECT_EQ(codeOf(error), refusal.code) << refusal.attribute;
    }
    EXPECT_EQ(readEtc("passwd"), before);
}

TEST(SideStoreNames, EncodeToSafeDistinctFileNames) {
    EXPECT_EQ(SideStore::encodeName("alice_1-b"), "alice_1-b");
    EXPECT_EQ(SideStore::encodeName("a.b"), "a%2Eb");
    EXPECT_EQ(SideStore::encodeName("../x"), "%2E%2E%2Fx");
    EXPECT_EQ(SideStore::encodeName("a%2Eb"), "a%252Eb");
    EXPECT_FALSE(SideStore::encodeName(""));
    EXPECT_FALSE(SideStore::encodeName(std::string(100, '.')));
}

}  // namespace
}  // namespace lockstep::testing::local_directory
