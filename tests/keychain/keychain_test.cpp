#include "keychain_fixture.h"

namespace lockstep::testing {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using namespace std::string_view_literals;

constexpr std::string_view kFind = "findPassword(serviceName:accountName:keychain:)";
constexpr std::string_view kSet =
    "setPassword(serviceName:accountName:pass:keychainPassword:keychain:)";
constexpr std::string_view kUpdate =
    "updatePassword(serviceName:accountName:pass:keychainPassword:keychain:)";

using CredentialTest = KeychainTest;

TEST_F(CredentialTest, SetFindAndDuplicateAddWithTheirMessages) {
    ASSERT_NE(set("alice", "Tr1cky-Pa55"), nullptr) << capture_.dump();
    EXPECT_THAT(messages(capture_.lines(), kSet),
                ElementsAre("Setting password for account:alice service:Lockstep", "Creating ACL",
                            "Found ACLAuthorizationDecrypt.",
                            "Calling SecItemAdd, returning new keychain item (generic password)",
                            "Found ACLAuthorizationPartitionID.", "SecACLSetContents success",
                            "SecKeychainItemSetAccessWithPassword success"));
    ASSERT_NE(set("Zoë Ærø", "pässwörd"), nullptr);
    capture_.clear();

    const std::optional<PasswordItem> item = find(std::nullopt);  // the service's oldest item
    ASSERT_TRUE(item.has_value()) << capture_.dump();
    EXPECT_EQ(item->username, "alice");
    EXPECT_EQ(item->passwordText(), "Tr1cky-Pa55");
    EXPECT_NE(item->keychainItem, nullptr);
    EXPECT_THAT(messages(capture_.lines(), kFind),
                ElementsAre("Finding Lockstep in keychain",
                            "find password for account:nil service:Lockstep",
                            "Lockstep found in keychain", ""));
    // The last line is the bare position mark, with one trailing blank.
    EXPECT_THAT(capture_.lines().back().text, EndsWith(std::string(kFind) + " "));
    EXPECT_TRUE(capture_.systemContains("using provided keychain"));
    // Names outside ASCII are found as stored: lengths are UTF-8 byte counts.
    EXPECT_EQ(find("Zoë Ærø")->passwordText(), "pässwörd");
    EXPECT_TRUE(
        capture_.contains("find password for account:Optional(\"Zoë Ærø\") service:Lockstep"));

    EXPECT_EQ(set("alice", "other"), nullptr);
    EXPECT_EQ(messages(capture_.lines(), kSet).back(), "Error SecItemAdd: -25299 ");
    EXPECT_EQ(find("alice")->passwordText(), "Tr1cky-Pa55");
    EXPECT_EQ(capture_.lines(kLogLevelDebug), capture_.lines());
    EXPECT_FALSE(capture_.contains("Tr1cky-Pa55"));
    EXPECT_EQ(capture_.logFileContents().find("Tr1cky-Pa55"), std::string::npos);
}

TEST_F(CredentialTest, ItemWithoutAccountGivesEmptyUsername) {
    const CFDictionary query{{std::string(kSecClass), std::string(kSecClassGenericPassword)},
                             {std::string(kSecAttrService), std::string("Lockstep")},
                             {std::string(kSecValueData), SecretBytes(toBytes("pw"))},
                             {std::string(kSecUseKeychain), keychain_}};
    ASSERT_EQ(real_.SecItemAdd(query, nullptr), errSecSuccess);
    const std::optional<PasswordItem> item = find(std::nullopt);
    ASSERT_TRUE(item.has_value());
    EXPECT_EQ(item->username, "");
    EXPECT_EQ(item->passwordText(), "pw");
}

TEST_F(CredentialTest, OnlyAMissingItemIsReportedAndUnusablePasswordsAreNeverFound) {
    EXPECT_FALSE(find("alice").has_value());
    EXPECT_EQ(capture_.lines(kLogLevelError).size(), 1U);
    EXPECT_THAT(messages(capture_.lines(kLogLevelError), kFind),
                ElementsAre("Lockstep not found in keychain"));

    ASSERT_NE(set("alice", ""), nullptr);
    ASSERT_NE(set("bob", "\xC3\x28"), nullptr);  // not UTF-8
    capture_.clear();
    EXPECT_FALSE(find("alice").has_value());
    EXPECT_FALSE(find("bob").has_value());
    EXPECT_FALSE(find(std::nullopt).has_value());
    EXPECT_FALSE(capture_.contains("found in keychain")) << capture_.dump();
}

TEST_F(CredentialTest, WithoutKeychainTheUserDefaultIsUsedOrNoneWhenThereIsNone) {
    ASSERT_NE(KeychainUtil::setPassword(ctx_, "Lockstep", "alice", "pw", "", nullptr), nullptr);
    EXPECT_EQ(KeychainUtil::findPassword(ctx_, "Lockstep", std::nullopt, nullptr)->username,
              "alice");
    EXPECT_THAT(capture_.systemEntries(),
                Contains(RecordingSystemLog::Entry{LogType::Default, "using user keychain"}));
    EXPECT_FALSE(capture_.contains("using user keychain"));  // the system log only
    EXPECT_FALSE(find(std::nullopt).has_value());            // nothing went to the system keychain

    capture_.clear();
    for (const auto& [status, message] :
         {std::pair{errSecNoSuchKeychain, "error getting user keychain"},
          std::pair{errSecSuccess, "keychain is nil. returning."}}) {
        service_.faults["SecKeychainCopyDomainDefault"] = {.status = status};
        EXPECT_FALSE(KeychainUtil::findPassword(ctx_, "Lockstep", "alice", nullptr).has_value());
        EXPECT_EQ(capture_.systemEntries().back().message, message);
    }
    EXPECT_TRUE(capture_.lines(kLogLevelError).empty());
}

TEST_F(CredentialTest, SetPasswordFailuresAroundTheAdd) {
    installAllCandidates();
    // One setPassword with `operation` failing; whether it gave an item.
    const auto setFailing = [&](const std::string& operation, OSStatus status) {
        service_.faults = {{operation, {.status = status}}};
        service_.calls.clear();
        capture_.clear();
        const bool gave = set(operation, "pw") != nullptr;
        service_.faults.clear();
        EXPECT_EQ(capture_.lines(kLogLevelDebug), capture_.lines());
        return gave;
    };
    const auto lastMessage = [&] { return messages(capture_.lines(), kSet).back(); };

    EXPECT_FALSE(setFailing("SecAccessCreate", errSecAllocate));
    EXPECT_EQ(lastMessage(), "Error setting ACL");
    EXPECT_EQ(service_.calls["SecItemAdd"] + service_.calls["SecTrustedApplicationCreateFromPath"],
              0);
    EXPECT_FALSE(setFailing("SecAccessCopyACLList", errSecInvalidACL));  // no ACL list
    EXPECT_FALSE(setFailing("SecKeychainItemCopyAccess", errSecInvalidItemRef));
    EXPECT_EQ(lastMessage(), "invalid accessControlList: -25304");
    EXPECT_EQ(service_.calls["SecKeychainItemSetAccessWithPassword"], 0);
    EXPECT_TRUE(find("SecKeychainItemCopyAccess").has_value());  // the item stays
    EXPECT_TRUE(setFailing("SecKeychainItemSetAccessWithPassword", errSecAuthFailed));
    EXPECT_EQ(lastMessage(), "error SecKeychainItemSetAccessWithPassword: -25293");
}

TEST_F(CredentialTest, UpdateStoresOnAnEmptyKeychainThenReplacesOnlyItsItem) {
    EXPECT_TRUE(update("alice", "pw"));
    EXPECT_EQ(service_.calls["SecKeychainItemDelete"], 0);
    EXPECT_THAT(
        messages(capture_.lines(), kUpdate),
        ElementsAre("setting new password for alice Lockstep", "setting new password success"));
    ASSERT_NE(set("bob", "other"), nullptr);
    EXPECT_TRUE(update("alice", "new"));
    EXPECT_EQ(service_.calls["SecKeychainItemDelete"], 1);
    EXPECT_EQ(find("alice")->passwordText(), "new");
    EXPECT_EQ(find("bob")->passwordText(), "other");
}

TEST_F(CredentialTest, FailedUpdatePutsThePreviousItemBack) {
    ASSERT_NE(set("alice", "old-secret"), nullptr);
    capture_.clear();
    service_.faults["SecItemAdd"] = {.status = errSecDiskFull, .times = 1};
    EXPECT_FALSE(update("alice", "new-secret"));

    const std::optional<PasswordItem> item = find(std::nullopt);
    ASSERT_TRUE(item.has_value());
    EXPECT_EQ(item->username, "alice");
    EXPECT_EQ(item->passwordText(), "old-secret");
    // The restored item has the partitions that setPassword gives.
    EXPECT_TRUE(std::ranges::any_of(storedAcls(item->keychainItem), [](const SecACLRef& acl) {
        return acl->description == describe(partitionsDict());
    }));
    EXPECT_EQ(capture_.lines(kLogLevelError).size(), 2U);
    EXPECT_THAT(messages(capture_.lines(kLogLevelError), kUpdate),
                ElementsAre("setting new password FAILURE: accountname:alice",
                            "restored previous password item for accountname:alice"));
    EXPECT_FALSE(capture_.contains("old-secret"));
}

TEST_F(CredentialTest, FailedUpdateEdgeCases) {
    // Nothing to restore without a previous item.
    service_.faults["SecItemAdd"] = {.status = errSecDiskFull, .times = 1};
    EXPECT_FALSE(update("alice", "pw"));
    EXPECT_EQ(service_.calls["SecItemAdd"], 1);
    EXPECT_FALSE(capture_.contains("previous password item"));

    // A half-finished new item (added, partitions not rewritten) is removed
    // before the previous one is put back.
    ASSERT_NE(set("alice", "old"), nullptr);
    service_.faults["SecACLCopyContents"] = {.status = errSecInvalidACL};
    EXPECT_FALSE(update("alice", "new"));
    EXPECT_EQ(find("alice")->passwordText(), "old");
    EXPECT_TRUE(capture_.contains(kLogLevelError, "restored previous password item"));

    // A restore that fails too is reported.
    service_.faults = {{"SecItemAdd", {.status = errSecDiskFull}}};
    capture_.clear();
    EXPECT_FALSE(update("alice", "new"));
    EXPECT_TRUE(capture_.contains(
        kLogLevelError, "could not restore previous password item for accountname:alice"));
    EXPECT_FALSE(capture_.contains("restored previous"));

    // An exception (as from a failed allocation) leaves no operation, and the
    // previous item is still put back.
    service_.faults.clear();
    ASSERT_NE(set("alice", "old"), nullptr);
    service_.faults["SecItemAdd"] = {.times = 1, .throws = true};
    EXPECT_FALSE(update("alice", "new"));
    EXPECT_EQ(find("alice")->passwordText(), "old");
    EXPECT_EQ(capture_.count("stopped by an unexpected error: std::bad_alloc"), 1U);
}

SecACLRef makeAcl(Strings tags, std::string description, std::uint16_t prompt = 0) {
    return std::make_shared<SecACL>(
        SecACL{std::move(tags), std::nullopt, std::move(description), prompt});
}

using ItemAccessTest = KeychainTest;

TEST_F(ItemAccessTest, TrustedAppsAreTheCandidatesThatExistInOrder) {
    EXPECT_TRUE(KeychainUtil::trustedApps(ctx_).empty());
    writeFile(candidates_[3], "host");
    EXPECT_THAT(paths(KeychainUtil::trustedApps(ctx_)), ElementsAre(candidates_[3]));
    // Without a bundle path no helper path relative to the working folder is tried.
    ctx_.bundlePath.clear();
    EXPECT_THAT(paths(KeychainUtil::trustedApps(ctx_)), ElementsAre(candidates_[3]));
    EXPECT_EQ(service_.calls["SecTrustedApplicationCreateFromPath"], 2);
    EXPECT_TRUE(capture_.lines().empty());

    ctx_.bundlePath = candidates_[0];
    installAllCandidates();
    EXPECT_EQ(paths(KeychainUtil::trustedApps(ctx_)), candidates_);
    service_.faults["SecTrustedApplicationCreateFromPath"] = {.status = errSecParam};
    EXPECT_TRUE(KeychainUtil::trustedApps(ctx_).empty());
    EXPECT_THAT(messages(capture_.lines(kLogLevelDebug), "trustedApps()"),
                ElementsAre("error appending trust for Lockstep.app",
                            "error appending trust for lockstephelper",
                            "error appending trust for lockstepd",
                            "error appending trust for authorizationhost"));
}

TEST_F(ItemAccessTest, DecryptEntriesTrustTheCandidatesOthersKeepTheirContents) {
    const SecACLRef first = makeAcl({"ACLAuthorizationDecrypt"}, "d1", 7);
    const SecACLRef other = makeAcl({"ACLAuthorizationEncrypt"}, "keep", 3);
    const SecACLRef second = makeAcl({"ACLAuthorizationSign", "ACLAuthorizationDecrypt"}, "d2", 9);
    second->applications = {
        {std::make_shared<SecTrustedApplication>(SecTrustedApplication{"/old", Bytes{}})}};
    service_.newAccess = std::make_shared<SecAccess>(SecAccess{{first, other, second}});
    // With no candidate, decrypt entries trust no application at all.
    ASSERT_TRUE(KeychainUtil::createItemAccess(ctx_, "alice").has_value());
    EXPECT_EQ(contents(first), std::tuple("", Strings{}, 7));
    installAllCandidates();
    capture_.clear();
    const std::optional<ItemAccess> access = KeychainUtil::createItemAccess(ctx_, "alice");
    ASSERT_TRUE(access.has_value());
    EXPECT_EQ(paths(access->applications), candidates_);
    EXPECT_EQ(contents(first), std::tuple("", candidates_, 7));
    EXPECT_EQ(contents(second), std::tuple("", candidates_, 9));
    EXPECT_EQ(contents(other), std::tuple("keep", Strings{"(any)"}, 3));
    EXPECT_THAT(messages(capture_.lines(), kSet),
                ElementsAre("Creating ACL", "Found ACLAuthorizationDecrypt.",
                            "Found ACLAuthorizationDecrypt."));
}

class StoredAccessTest : public KeychainTest {
  protected:
    // The item's own setPassword counts among the calls and lengths recorded.
    StoredAccessTest() : item_(set("alice", "pw")) {}

    // Gives the item exactly these ACLs, then lets the code under test rewrite them.
    StoredItemAccessResult apply(std::vector<SecACLRef> acls, std::string_view password = "") {
        const auto access = std::make_shared<SecAccess>(SecAccess{std::move(acls)});
        EXPECT_EQ(real_.SecKeychainItemSetAccessWithPassword(item_, access, 0, nullptr),
                  errSecSuccess);
        return KeychainUtil::applyStoredItemAccess(ctx_, item_, apps_, password);
    }
    StoredItemAccessResult applyToPartition(const std::string& description) {
        return apply({makeAcl({"ACLAuthorizationPartitionID"}, description, 5)});
    }

    SecKeychainItemRef item_;
    std::vector<SecTrustedApplicationRef> apps_ = {
        std::make_shared<SecTrustedApplication>(SecTrustedApplication{"/opt/app", Bytes{}})};
};

TEST_F(StoredAccessTest, RewritesPartitionsKeepingOtherKeysAndFormat) {
    const std::string others = "<key>E</key><array/><key>X</key><array><string>a</string></array>";
    const std::string partitions = "<key>Partitions</key><array><string>teamid:A</string></array>";
    for (const PlistFormat format : {PlistFormat::XML, PlistFormat::Binary}) {
        SCOPED_TRACE(static_cast<int>(format));
        const std::string before = describe("<dict>" + others + partitions + "</dict>", format);
        capture_.clear();
        EXPECT_EQ(apply({makeAcl({"ACLAuthorizationDecrypt"}, "keep", 4),
                         makeAcl({"ACLAuthorizationPartitionID"}, before, 5)}),
                  StoredItemAccessResult::done);

        const std::vector<SecACLRef> acls = storedAcls(item_);
        ASSERT_EQ(acls.size(), 2U);
        EXPECT_EQ(contents(acls[0]), std::tuple("keep", Strings{"(any)"}, 4));
        // The same property list in the same format (as its serialisation shows).
        EXPECT_EQ(contents(acls[1]),
                  std::tuple(describe(partitionsDict(others), format), Strings{"/opt/app"}, 5));
        EXPECT_THAT(messages(capture_.lines(kLogLevelDebug), kSet),
                    ElementsAre("Found ACLAuthorizationPartitionID.", "SecACLSetContents success",
                                "SecKeychainItemSetAccessWithPassword success"));
    }
}

TEST_F(StoredAccessTest, UnreadableDescriptionIsRebuiltOneOfAnotherShapeKept) {
    for (const std::string& description :
         {hexEncode(toBytes("garbage")), std::string("zz"), std::string("0af"), std::string()}) {
        SCOPED_TRACE(description);
        capture_.clear();
        EXPECT_EQ(applyToPartition(description), StoredItemAccessResult::done);
        EXPECT_TRUE(capture_.contains(kLogLevelDebug, "No teamid in ACLAuthorizationPartitionID."));
        EXPECT_EQ(storedAcls(item_).at(0)->description, describe(partitionsDict()));
    }
    // A property list of another shape stops the change.
    for (const std::string root :
         {"<array><string>apple:</string></array>",
          "<dict><key>Partitions</key><string>apple:</string></dict>",
          "<dict><key>Partitions</key><array><integer>7</integer></array></dict>"}) {
        EXPECT_EQ(applyToPartition(describe(root)), StoredItemAccessResult::failed) << root;
        EXPECT_EQ(storedAcls(item_).at(0)->description, describe(root));  // unchanged
    }
    service_.faults = {{"SecAccessCopyACLList", {.status = errSecInvalidACL}}};  // no ACL list
    EXPECT_EQ(applyToPartition(""), StoredItemAccessResult::failed);
    EXPECT_EQ(service_.calls["SecKeychainItemSetAccessWithPassword"], 1 + 4);
}

TEST_F(StoredAccessTest, AccessIsWrittenWhateverTheContentChangeGives) {
    service_.faults["SecACLSetContents"] = {.status = errSecInvalidOwnerEdit};
    EXPECT_EQ(applyToPartition(""), StoredItemAccessResult::done);
    EXPECT_TRUE(capture_.containsInOrder(
        {"error SecACLSetContents", "SecKeychainItemSetAccessWithPassword success"}));
    // The keychain password counts in bytes up to its first NUL.
    for (const std::string_view password : {""sv, "pw\0rest"sv, "kc-pässword"sv}) {
        EXPECT_EQ(apply({}, password), StoredItemAccessResult::done);
    }
    EXPECT_THAT(service_.setAccessLengths, ElementsAre(0U, 0U, 0U, 2U, 12U));
}

TEST(HexTest, EncodesLowerCasePairsAndDecodesOnlyHexPairs) {
    EXPECT_EQ(hexEncode(Bytes{0x0A, 0xFF}), "0aff");
    EXPECT_EQ(hexEncode(Bytes{0x00, 0x01, 0x7F, 0x80, 0xC3}), "00017f80c3");
    EXPECT_EQ(hexEncode(Bytes{}), "");
    for (const std::string text : {"0aff", "0AFF", "0aFf"}) {
        EXPECT_EQ(hexDecode(text), (Bytes{0x0A, 0xFF})) << text;
    }
    EXPECT_EQ(hexDecode("00"), Bytes{0x00});
    EXPECT_EQ(hexDecode(""), Bytes{});
    // Odd length, non-digits (low and high), blank, sign, prefix, non-ASCII.
    for (const std::string text : {"0af", "0g", "g0", "0 ", "+1", "0x0a", "0a\xc3\xa9"}) {
        EXPECT_FALSE(hexDecode(text).has_value()) << text;
    }
}

}  // namespace
}  // namespace lockstep::testing
