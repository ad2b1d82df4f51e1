#include "keychain/keychain_util.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "keychain_fixture.h"

namespace lockstep::testing {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::EndsWith;

constexpr std::string_view kFind = "findPassword(serviceName:accountName:keychain:)";
constexpr std::string_view kSet =
    "setPassword(serviceName:accountName:pass:keychainPassword:keychain:)";
constexpr std::string_view kUpdate =
    "updatePassword(serviceName:accountName:pass:keychainPassword:keychain:)";

// The texts of the lines logged so far, in order, without their source mark.
std::vector<std::string> messages(const LogCapture& capture, std::string_view function) {
    std::vector<std::string> result;
    for (const LoggedLine& line : capture.lines()) {
        const std::string marker = std::string(function) + " ";
        const auto at = line.text.find(marker);
        if (at != std::string::npos) {
            result.push_back(line.text.substr(at + marker.size()));
        }
    }
    return result;
}

class CredentialTest : public KeychainUtilTest {
  protected:
    SecKeychainItemRef set(std::string_view account, std::string_view pass,
                           std::string_view service = "Lockstep") {
        return KeychainUtil::setPassword(ctx_, service, account, pass, "", keychain_);
    }
};

TEST_F(CredentialTest, FindsWithoutAccountAndLearnsTheStoredAccount) {
    ASSERT_NE(set("alice", "s3cret"), nullptr) << capture_.dump();
    capture_.clear();

    const std::optional<PasswordItem> item = find(std::nullopt);
    ASSERT_TRUE(item.has_value()) << capture_.dump();
    EXPECT_EQ(item->username, "alice");
    EXPECT_EQ(item->passwordText(), "s3cret");
    EXPECT_NE(item->keychainItem, nullptr);

    EXPECT_THAT(messages(capture_, kFind),
                ElementsAre("Finding Lockstep in keychain",
                            "find password for account:nil service:Lockstep",
                            "Lockstep found in keychain", ""));
    // The last line is the bare position mark: no indent, one trailing blank.
    const LoggedLine& mark = capture_.lines().back();
    EXPECT_EQ(mark.level, kLogLevelDebug);
    EXPECT_NE(mark.text.front(), ' ');
    EXPECT_THAT(mark.text, EndsWith(std::string(kFind) + " "));
    EXPECT_TRUE(capture_.lines(kLogLevelError).empty());
    EXPECT_TRUE(capture_.systemContains("using provided keychain"));
}

TEST_F(CredentialTest, FindsTheItemOfTheGivenAccount) {
    ASSERT_NE(set("alice", "first"), nullptr);
    ASSERT_NE(set("bob", "second"), nullptr);
    capture_.clear();

    const std::optional<PasswordItem> item = find("bob");
    ASSERT_TRUE(item.has_value());
    EXPECT_EQ(item->username, "bob");
    EXPECT_EQ(item->passwordText(), "second");
    EXPECT_TRUE(capture_.contains("find password for account:Optional(\"bob\") service:Lockstep"));
    EXPECT_EQ(find(std::nullopt)->username, "alice");  // the oldest item of the service
}

TEST_F(CredentialTest, NonAsciiNamesAreFoundAsStored) {
    ASSERT_NE(set("Zoë Ærø", "pässwörd", "Schlüssel"), nullptr);
    const std::optional<PasswordItem> item = find("Zoë Ærø", "Schlüssel");
    ASSERT_TRUE(item.has_value());
    EXPECT_EQ(item->username, "Zoë Ærø");
    EXPECT_EQ(item->passwordText(), "pässwörd");
    EXPECT_FALSE(find("Zoe Aero", "Schlüssel").has_value());
}

TEST_F(CredentialTest, MissingItemIsTheOnlyErrorLine) {
    EXPECT_FALSE(find("alice").has_value());
    const auto errors = capture_.lines(kLogLevelError);
    ASSERT_EQ(errors.size(), 1U);
    EXPECT_THAT(errors[0].text, EndsWith(std::string(kFind) + " Lockstep not found in keychain"));
}

TEST_F(CredentialTest, EmptyPasswordIsNeverFoundAndNotReported) {
    ASSERT_NE(set("alice", ""), nullptr);
    capture_.clear();
    EXPECT_FALSE(find("alice").has_value());
    EXPECT_FALSE(find(std::nullopt).has_value());
    EXPECT_FALSE(capture_.contains("found in keychain")) << capture_.dump();
}

TEST_F(CredentialTest, PasswordThatIsNotUtf8IsNotFound) {
    CFDictionary query{{std::string(kSecClass), std::string(kSecClassGenericPassword)},
                       {std::string(kSecAttrService), std::string("Lockstep")},
                       {std::string(kSecAttrAccount), std::string("alice")},
                       {std::string(kSecValueData), SecretBytes(Bytes{0xC3, 0x28})},
                       {std::string(kSecUseKeychain), keychain_}};
    ASSERT_EQ(real_.SecItemAdd(query, nullptr), errSecSuccess);
    EXPECT_FALSE(find("alice").has_value());
    EXPECT_FALSE(capture_.contains("found in keychain"));
}

TEST_F(CredentialTest, ItemWithoutAccountGivesEmptyUsername) {
    CFDictionary query{{std::string(kSecClass), std::string(kSecClassGenericPassword)},
                       {std::string(kSecAttrService), std::string("Lockstep")},
                       {std::string(kSecValueData), SecretBytes(toBytes("pw"))},
                       {std::string(kSecUseKeychain), keychain_}};
    ASSERT_EQ(real_.SecItemAdd(query, nullptr), errSecSuccess);
    const std::optional<PasswordItem> item = find(std::nullopt);
    ASSERT_TRUE(item.has_value());
    EXPECT_EQ(item->username, "");
    EXPECT_EQ(item->passwordText(), "pw");
}

TEST_F(CredentialTest, WithoutKeychainTheUserDefaultIsUsed) {
    ASSERT_NE(KeychainUtil::setPassword(ctx_, "Lockstep", "alice", "pw", "", nullptr), nullptr);
    const std::optional<PasswordItem> item =
        KeychainUtil::findPassword(ctx_, "Lockstep", std::nullopt, nullptr);
    ASSERT_TRUE(item.has_value());
    EXPECT_EQ(item->username, "alice");
    const RecordingSystemLog::Entry expected{LogType::Default, "using user keychain"};
    EXPECT_THAT(capture_.systemEntries(), Contains(expected));
    EXPECT_FALSE(capture_.systemContains("using provided keychain"));
    EXPECT_FALSE(find(std::nullopt).has_value());  // nothing went to the system keychain
    // Keychain selection goes to the system log only, never to the log file.
    EXPECT_FALSE(capture_.contains("using user keychain"));
}

TEST_F(CredentialTest, NoUserKeychainGivesNone) {
    service_.domainDefaultStatus = errSecNoSuchKeychain;
    EXPECT_FALSE(KeychainUtil::findPassword(ctx_, "Lockstep", "alice", nullptr).has_value());
    EXPECT_EQ(KeychainUtil::setPassword(ctx_, "Lockstep", "alice", "pw", "", nullptr), nullptr);
    EXPECT_EQ(capture_.systemEntries().back().message, "error getting user keychain");

    service_.domainDefaultStatus.reset();
    service_.domainDefaultGivesNull = true;
    EXPECT_FALSE(KeychainUtil::findPassword(ctx_, "Lockstep", "alice", nullptr).has_value());
    EXPECT_EQ(capture_.systemEntries().back().message, "keychain is nil. returning.");
    EXPECT_EQ(service_.itemAddCalls, 0);
    EXPECT_TRUE(capture_.lines(kLogLevelError).empty());
}

TEST_F(CredentialTest, SetPasswordLogsEachStepAndNeverThePassword) {
    ASSERT_NE(set("alice", "Tr1cky-Pa55"), nullptr);
    EXPECT_THAT(messages(capture_, kSet),
                ElementsAre("Setting password for account:alice service:Lockstep", "Creating ACL",
                            "Found ACLAuthorizationDecrypt.",
                            "Calling SecItemAdd, returning new keychain item (generic password)",
                            "Found ACLAuthorizationPartitionID.", "SecACLSetContents success",
                            "SecKeychainItemSetAccessWithPassword success"));
    for (const LoggedLine& line : capture_.lines()) {
        EXPECT_EQ(line.level, kLogLevelDebug) << line;
    }
    EXPECT_FALSE(capture_.contains("Tr1cky-Pa55"));
    EXPECT_EQ(capture_.logFileContents().find("Tr1cky-Pa55"), std::string::npos);
}

TEST_F(CredentialTest, DuplicateAddIsRefusedWithItsStatus) {
    ASSERT_NE(set("alice", "first"), nullptr);
    capture_.clear();
    EXPECT_EQ(set("alice", "second"), nullptr);
    const auto at = capture_.indexOf("Error SecItemAdd:");
    ASSERT_TRUE(at.has_value());
    EXPECT_EQ(capture_.lines()[*at].level, kLogLevelDebug);
    EXPECT_THAT(capture_.lines()[*at].text,
                EndsWith(std::string(kSet) + " Error SecItemAdd: -25299 "));
    EXPECT_EQ(find("alice")->passwordText(), "first");
}

TEST_F(CredentialTest, SetPasswordStopsBeforeTheAddWithoutAccessObject) {
    installAllCandidates();
    service_.accessCreateGivesNothing = true;
    EXPECT_EQ(set("alice", "pw"), nullptr);
    EXPECT_TRUE(capture_.containsInOrder({"Creating ACL", "Error setting ACL"}));
    EXPECT_EQ(service_.itemAddCalls, 0);
    EXPECT_TRUE(service_.trustedPaths.empty());  // trustedApps() was not reached
}

TEST_F(CredentialTest, SetPasswordGivesNoneWhenTheStoredAccessIsMissing) {
    service_.itemCopyAccessStatus = errSecInvalidItemRef;
    EXPECT_EQ(set("alice", "pw"), nullptr);
    EXPECT_TRUE(capture_.contains(kLogLevelDebug, "invalid accessControlList: -25304"));
    EXPECT_EQ(service_.setAccessCalls, 0);
    EXPECT_TRUE(find("alice").has_value());  // the item stays
}

TEST_F(CredentialTest, SetPasswordKeepsTheItemWhenTheFinalAccessChangeFails) {
    service_.setAccessStatus = errSecAuthFailed;
    EXPECT_NE(set("alice", "pw"), nullptr);
    EXPECT_TRUE(capture_.contains("error SecKeychainItemSetAccessWithPassword: -25293"));
}

TEST_F(CredentialTest, AddWithoutItemReferenceGivesNone) {
    service_.itemAddGivesNoItem = true;
    EXPECT_EQ(set("alice", "pw"), nullptr);
    EXPECT_EQ(service_.setAccessCalls, 0);
}

TEST_F(CredentialTest, UpdateOnEmptyKeychainStoresWithoutDeleting) {
    EXPECT_TRUE(KeychainUtil::updatePassword(ctx_, "Lockstep", "alice", "pw", "", keychain_));
    EXPECT_EQ(service_.deleteCalls, 0);
    EXPECT_THAT(messages(capture_, kUpdate), ElementsAre("setting new password for alice Lockstep",
                                                         "setting new password success"));
    EXPECT_EQ(find("alice")->passwordText(), "pw");
}

TEST_F(CredentialTest, UpdateReplacesTheItem) {
    ASSERT_NE(set("alice", "old"), nullptr);
    ASSERT_NE(set("bob", "other"), nullptr);
    EXPECT_TRUE(KeychainUtil::updatePassword(ctx_, "Lockstep", "alice", "new", "", keychain_));
    EXPECT_EQ(service_.deleteCalls, 1);
    EXPECT_EQ(find("alice")->passwordText(), "new");
    EXPECT_EQ(find("bob")->passwordText(), "other");
}

TEST_F(CredentialTest, FailedUpdatePutsThePreviousItemBack) {
    ASSERT_NE(set("alice", "old-secret"), nullptr);
    capture_.clear();
    service_.itemAddFailures = 1;

    EXPECT_FALSE(
        KeychainUtil::updatePassword(ctx_, "Lockstep", "alice", "new-secret", "", keychain_));

    const std::optional<PasswordItem> item = find(std::nullopt);
    ASSERT_TRUE(item.has_value());
    EXPECT_EQ(item->username, "alice");
    EXPECT_EQ(item->passwordText(), "old-secret");
    // The restored item has the access that setPassword gives.
    const std::vector<SecACLRef> acls = storedAcls(item->keychainItem);
    EXPECT_TRUE(std::any_of(acls.begin(), acls.end(), [](const SecACLRef& acl) {
        return hasTag(*acl, kACLAuthorizationPartitionID) &&
               readDescription(acl->description)->lists["Partitions"] ==
                   std::vector<std::string>{"apple:", "teamid:Q7M4ZK2RTD"};
    }));

    const auto errors = capture_.lines(kLogLevelError);
    ASSERT_EQ(errors.size(), 2U) << capture_.dump();
    EXPECT_THAT(errors[0].text, EndsWith(std::string(kUpdate) +
                                         " setting new password FAILURE: accountname:alice"));
    EXPECT_THAT(errors[1].text, EndsWith(std::string(kUpdate) +
                                         " restored previous password item for accountname:alice"));
    EXPECT_FALSE(capture_.contains("old-secret"));
    EXPECT_FALSE(capture_.contains("new-secret"));
}

TEST_F(CredentialTest, FailedUpdateRemovesAHalfFinishedItemBeforeRestoring) {
    ASSERT_NE(set("alice", "old"), nullptr);
    // The new item is added, but its description cannot be rewritten.
    service_.aclCopyContentsStatus = errSecInvalidACL;

    EXPECT_FALSE(KeychainUtil::updatePassword(ctx_, "Lockstep", "alice", "new", "", keychain_));
    EXPECT_EQ(find("alice")->passwordText(), "old");
    EXPECT_TRUE(capture_.contains(kLogLevelError, "restored previous password item"));
}

TEST_F(CredentialTest, FailedRestoreIsReported) {
    ASSERT_NE(set("alice", "old"), nullptr);
    service_.itemAddFailures = -1;
    EXPECT_FALSE(KeychainUtil::updatePassword(ctx_, "Lockstep", "alice", "new", "", keychain_));
    EXPECT_TRUE(capture_.contains(
        kLogLevelError, "could not restore previous password item for accountname:alice"));
    EXPECT_FALSE(capture_.contains("restored previous"));
}

TEST_F(CredentialTest, FailedUpdateWithoutPreviousItemRestoresNothing) {
    service_.itemAddFailures = 1;
    EXPECT_FALSE(KeychainUtil::updatePassword(ctx_, "Lockstep", "alice", "pw", "", keychain_));
    EXPECT_EQ(service_.itemAddCalls, 1);
    EXPECT_FALSE(capture_.contains("previous password item"));
}

TEST_F(CredentialTest, NoExceptionLeavesTheOperations) {
    ASSERT_NE(set("alice", "old"), nullptr);
    service_.itemAddThrows = 1;
    EXPECT_EQ(set("bob", "pw"), nullptr);
    service_.itemAddThrows = 1;
    EXPECT_FALSE(KeychainUtil::updatePassword(ctx_, "Lockstep", "alice", "new", "", keychain_));
    EXPECT_EQ(find("alice")->passwordText(), "old");  // put back after the exception
    EXPECT_EQ(capture_.count("stopped by an unexpected error: std::bad_alloc"), 2U)
        << capture_.dump();
}

}  // namespace
}  // namespace lockstep::testing
