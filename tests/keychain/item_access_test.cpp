#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <plist/plist.h>

#include <string>

#include "keychain/hex.h"
#include "keychain/keychain_util.h"
#include "keychain_fixture.h"

namespace lockstep::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::EndsWith;
using Strings = std::vector<std::string>;

constexpr std::string_view kSet =
    "setPassword(serviceName:accountName:pass:keychainPassword:keychain:)";
const Strings kRewrittenPartitions = {"apple:", "teamid:Q7M4ZK2RTD"};

SecACLRef makeAcl(Strings tags, std::string description, std::uint16_t prompt = 0,
                  SecApplicationList applications = std::nullopt) {
    return std::make_shared<SecACL>(
        SecACL{std::move(tags), std::move(applications), std::move(description), prompt});
}

// --- trustedApps() ---

class TrustedAppsTest : public KeychainUtilTest {};

TEST_F(TrustedAppsTest, NothingPresentGivesAnEmptyListSilently) {
    ctx_.bundlePath = dir_ / "missing";
    EXPECT_TRUE(KeychainUtil::trustedApps(ctx_).empty());
    EXPECT_TRUE(service_.trustedPaths.empty());
    EXPECT_TRUE(capture_.lines().empty());
}

TEST_F(TrustedAppsTest, OnlyTheAuthorizationHost) {
    ctx_.bundlePath = dir_ / "missing";
    writeFile(authorizationHostPath(), "host");
    const auto apps = KeychainUtil::trustedApps(ctx_);
    ASSERT_EQ(apps.size(), 1U);
    EXPECT_EQ(apps[0]->path, authorizationHostPath().string());
}

TEST_F(TrustedAppsTest, AllFourInOrder) {
    installAllCandidates();
    Strings found;
    for (const auto& app : KeychainUtil::trustedApps(ctx_)) {
        found.push_back(app->path);
    }
    EXPECT_THAT(found, ElementsAre(bundlePath().string(), helperPath().string(),
                                   daemonPath().string(), authorizationHostPath().string()));
}

TEST_F(TrustedAppsTest, EmptyBundlePathIsNeverPassed) {
    ctx_.bundlePath.clear();
    // A relative helper path must not be found through the working folder.
    writeFile(authorizationHostPath(), "host");
    const auto apps = KeychainUtil::trustedApps(ctx_);
    EXPECT_THAT(service_.trustedPaths, ElementsAre(authorizationHostPath().string()));
    EXPECT_EQ(apps.size(), 1U);
}

TEST_F(TrustedAppsTest, RejectedCandidatesAreLoggedAndSkipped) {
    installAllCandidates();
    service_.createFromPathStatus = errSecParam;
    EXPECT_TRUE(KeychainUtil::trustedApps(ctx_).empty());
    Strings logged;
    for (const LoggedLine& line : capture_.lines()) {
        EXPECT_EQ(line.level, kLogLevelDebug);
        logged.push_back(line.text.substr(line.text.find("trustedApps() ") + 14));
    }
    EXPECT_THAT(logged, ElementsAre("error appending trust for Lockstep.app",
                                    "error appending trust for lockstephelper",
                                    "error appending trust for lockstepd",
                                    "error appending trust for authorizationhost"));
}

// --- createItemAccess ---

class CreateItemAccessTest : public KeychainUtilTest {};

TEST_F(CreateItemAccessTest, DecryptEntriesTrustTheListOthersKeepTheirContents) {
    installAllCandidates();
    const SecACLRef first = makeAcl({"ACLAuthorizationDecrypt"}, "d1", 7);
    const SecACLRef other = makeAcl({"ACLAuthorizationEncrypt"}, "keep", 3);
    const SecACLRef second = makeAcl(
        {"ACLAuthorizationSign", "ACLAuthorizationDecrypt"}, "d2", 9,
        std::vector<SecTrustedApplicationRef>{
            std::make_shared<const SecTrustedApplication>(SecTrustedApplication{"/old", {}})});
    service_.accessCreateOverride = std::make_shared<SecAccess>(SecAccess{{first, other, second}});

    const std::optional<ItemAccess> access = KeychainUtil::createItemAccess(ctx_, "alice");
    ASSERT_TRUE(access.has_value());
    EXPECT_EQ(access->applications.size(), 4U);
    const Strings expected = {bundlePath().string(), helperPath().string(), daemonPath().string(),
                              authorizationHostPath().string()};
    for (const SecACLRef& acl : {first, second}) {
        EXPECT_EQ(paths(acl->applications), expected);
        EXPECT_EQ(acl->description, "");
    }
    EXPECT_EQ(first->promptSelector, 7);
    EXPECT_EQ(second->promptSelector, 9);
    EXPECT_EQ(paths(other->applications), Strings{"(any)"});
    EXPECT_EQ(other->description, "keep");
    EXPECT_EQ(capture_.count("Found ACLAuthorizationDecrypt."), 2U);
    EXPECT_TRUE(capture_.containsInOrder({"Creating ACL", "Found ACLAuthorizationDecrypt."}));
}

TEST_F(CreateItemAccessTest, WithoutCandidatesDecryptEntriesGetAnEmptyList) {
    ctx_.bundlePath = dir_ / "missing";
    const std::optional<ItemAccess> access = KeychainUtil::createItemAccess(ctx_, "alice");
    ASSERT_TRUE(access.has_value());
    EXPECT_TRUE(access->applications.empty());
    int decrypt = 0;
    for (const SecACLRef& acl : access->access->acls) {
        if (hasTag(*acl, kACLAuthorizationDecrypt)) {
            ++decrypt;
            EXPECT_EQ(paths(acl->applications), Strings{});
            EXPECT_EQ(acl->description, "");
        } else {
            EXPECT_EQ(acl->description, "alice");  // the descriptor, untouched
        }
    }
    EXPECT_EQ(decrypt, 1);
}

TEST_F(CreateItemAccessTest, NoAclListGivesNone) {
    service_.copyACLListGivesNothing = true;
    EXPECT_FALSE(KeychainUtil::createItemAccess(ctx_, "alice").has_value());
    EXPECT_EQ(capture_.lines().size(), 2U);
}

// --- applyStoredItemAccess ---

class StoredAccessTest : public KeychainUtilTest {
  protected:
    StoredAccessTest() {
        item_ = KeychainUtil::setPassword(ctx_, "Lockstep", "alice", "pw", "", keychain_);
        EXPECT_NE(item_, nullptr);
        service_.setAccessCalls = 0;
        service_.setAccessPasswordLengths.clear();
        capture_.clear();
    }

    // Gives the item exactly these ACLs, bypassing the code under test.
    void storeAcls(std::vector<SecACLRef> acls) {
        const auto access = std::make_shared<SecAccess>(SecAccess{std::move(acls)});
        ASSERT_EQ(real_.SecKeychainItemSetAccessWithPassword(item_, access, 0, nullptr),
                  errSecSuccess);
    }

    StoredItemAccessResult apply(std::string_view keychainPassword = "") {
        return KeychainUtil::applyStoredItemAccess(ctx_, item_, apps_, keychainPassword);
    }

    // The stored partition ACL (the test stores exactly one).
    SecACLRef storedPartition() {
        for (const SecACLRef& acl : storedAcls(item_)) {
            if (hasTag(*acl, kACLAuthorizationPartitionID)) {
                return acl;
            }
        }
        ADD_FAILURE() << "no partition ACL";
        return makeAcl({}, "");
    }

    SecKeychainItemRef item_;
    std::vector<SecTrustedApplicationRef> apps_ = {
        std::make_shared<const SecTrustedApplication>(SecTrustedApplication{"/opt/app", {}})};
};

TEST_F(StoredAccessTest, RewritesPartitionsKeepingOtherKeysAndFormat) {
    for (const PlistFormat format : {PlistFormat::XML, PlistFormat::Binary}) {
        SCOPED_TRACE(static_cast<int>(format));
        const TextLists before = {{"Partitions", {"apple:", "teamid:OTHER", "unsigned:"}},
                                  {"Extra", {"a", "b"}},
                                  {"Empty", {}}};
        storeAcls({makeAcl({"ACLAuthorizationDecrypt"}, "keep", 4),
                   makeAcl({"ACLAuthorizationPartitionID"}, describe(before, format), 5)});

        EXPECT_EQ(apply(), StoredItemAccessResult::done);

        const std::vector<SecACLRef> acls = storedAcls(item_);
        ASSERT_EQ(acls.size(), 2U);
        EXPECT_EQ(acls[0]->description, "keep");
        EXPECT_EQ(paths(acls[0]->applications), Strings{"(any)"});
        EXPECT_EQ(acls[0]->promptSelector, 4);
        const std::optional<Description> after = readDescription(acls[1]->description);
        ASSERT_TRUE(after.has_value());
        EXPECT_EQ(after->format, format);
        TextLists expected = before;
        expected["Partitions"] = kRewrittenPartitions;
        EXPECT_EQ(after->lists, expected);
        EXPECT_EQ(paths(acls[1]->applications), Strings{"/opt/app"});
        EXPECT_EQ(acls[1]->promptSelector, 5);
        EXPECT_TRUE(capture_.containsInOrder({"Found ACLAuthorizationPartitionID.",
                                              "SecACLSetContents success",
                                              "SecKeychainItemSetAccessWithPassword success"}));
        capture_.clear();
    }
}

TEST_F(StoredAccessTest, UnreadableDescriptionIsRebuiltFromScratch) {
    const std::string notAPlist = hexEncode(toBytes("garbage"));
    for (const std::string& description :
         {notAPlist, std::string("zz"), std::string("0af"), std::string("")}) {
        SCOPED_TRACE(description);
        storeAcls({makeAcl({"ACLAuthorizationPartitionID"}, description)});
        EXPECT_EQ(apply(), StoredItemAccessResult::done);
        EXPECT_TRUE(capture_.contains(kLogLevelDebug, "No teamid in ACLAuthorizationPartitionID."));
        const std::optional<Description> after = readDescription(storedPartition()->description);
        ASSERT_TRUE(after.has_value());
        EXPECT_EQ(after->format, PlistFormat::XML);
        EXPECT_EQ(after->lists, (TextLists{{"Partitions", kRewrittenPartitions}}));
        capture_.clear();
    }
}

TEST_F(StoredAccessTest, DescriptionOfAnotherShapeStopsTheChange) {
    const PlistPtr array(plist_new_array());
    plist_array_append_item(array.get(), plist_new_string("apple:"));
    const PlistPtr mixed(plist_new_dict());
    plist_dict_set_item(mixed.get(), "Partitions", plist_new_string("apple:"));
    const PlistPtr numbers(plist_new_dict());
    const PlistPtr list(plist_new_array());
    plist_array_append_item(list.get(), plist_new_uint(7));
    plist_dict_set_item(numbers.get(), "Partitions", plist_copy(list.get()));

    for (const PlistNode root : {array.get(), mixed.get(), numbers.get()}) {
        const std::string description = hexEncode(*serializePlist(root, PlistFormat::XML));
        storeAcls({makeAcl({"ACLAuthorizationPartitionID"}, description)});
        EXPECT_EQ(apply(), StoredItemAccessResult::failed);
        EXPECT_EQ(storedPartition()->description, description);  // unchanged
    }
    EXPECT_EQ(service_.setAccessCalls, 0);
}

TEST_F(StoredAccessTest, FailedContentChangeIsLoggedAndTheAccessStillWritten) {
    storeAcls({makeAcl({"ACLAuthorizationPartitionID"}, "")});
    service_.aclSetContentsStatus = errSecInvalidOwnerEdit;
    EXPECT_EQ(apply(), StoredItemAccessResult::done);
    EXPECT_TRUE(capture_.containsInOrder(
        {"error SecACLSetContents", "SecKeychainItemSetAccessWithPassword success"}));
    EXPECT_EQ(service_.setAccessCalls, 1);
}

TEST_F(StoredAccessTest, WithoutPartitionEntryOnlyTheAccessIsWritten) {
    storeAcls({makeAcl({"ACLAuthorizationDecrypt"}, "keep")});
    EXPECT_EQ(apply(), StoredItemAccessResult::done);
    EXPECT_FALSE(capture_.contains("SecACLSetContents"));
    EXPECT_EQ(service_.setAccessCalls, 1);
    EXPECT_EQ(storedAcls(item_)[0]->description, "keep");
}

TEST_F(StoredAccessTest, KeychainPasswordLengthCountsBytesUpToTheFirstNul) {
    EXPECT_EQ(apply(""), StoredItemAccessResult::done);
    EXPECT_EQ(apply(std::string_view("pw\0rest", 7)), StoredItemAccessResult::done);
    EXPECT_EQ(apply("kc-pässword"), StoredItemAccessResult::done);
    EXPECT_THAT(service_.setAccessPasswordLengths, ElementsAre(0U, 2U, 12U));
}

TEST_F(StoredAccessTest, FailuresBeforeTheRewrite) {
    service_.itemCopyAccessStatus = errSecInvalidItemRef;
    EXPECT_EQ(apply(), StoredItemAccessResult::noAccessObject);
    const auto& line = capture_.lines().back();
    EXPECT_THAT(line.text, EndsWith(std::string(kSet) + " invalid accessControlList: -25304"));
    service_.itemCopyAccessStatus.reset();

    service_.copyACLListGivesNothing = true;
    EXPECT_EQ(apply(), StoredItemAccessResult::failed);
    service_.copyACLListGivesNothing = false;

    service_.aclCopyContentsStatus = errSecInvalidACL;
    EXPECT_EQ(apply(), StoredItemAccessResult::failed);
    EXPECT_TRUE(capture_.contains("ACLAuthorizationPartitionID has no description: -67713"));
    EXPECT_EQ(service_.setAccessCalls, 0);
}

}  // namespace
}  // namespace lockstep::testing
