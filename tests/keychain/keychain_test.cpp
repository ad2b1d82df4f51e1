#include <gmock/gmock.h>

#include "faulty_keychain.h"
#include "keychain/keychain_util.h"
#include "platform/context.h"
#include "platform/keychain/sqlite_keychain.h"
#include "platform/plist.h"
#include "platform/text.h"
#include "support/directory_fixture.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace lockstep::testing {
namespace {

using Strings = std::vector<std::string>;
using namespace std::string_view_literals;

// Hexadecimal text of a property list whose root is the XML element `root`,
// in `format`: a partition description as it is stored.
std::string describe(const std::string& root, PlistFormat format = PlistFormat::XML) {
    const auto parsed = parsePlist(toBytes("<?xml version=\"1.0\"?><plist>" + root + "</plist>"));
    return hexEncode(serializePlist(parsed.value().root.get(), format).value());
}

// The partition dictionary a stored item is given, between other keys.
std::string partitionsDict(const std::string& otherKeys = "") {
    return "<dict>" + otherKeys +
           "<key>Partitions</key><array><string>apple:</string><string>teamid:Q7M4ZK2RTD</string>"
           "</array></dict>";
}

// Paths of an application list, in order; "(any)" for no list.
Strings paths(const SecApplicationList& applications) {
    Strings result = applications ? Strings{} : Strings{"(any)"};
    for (const auto& app : applications.value_or(std::vector<SecTrustedApplicationRef>{})) {
        result.push_back(app->path);
    }
    return result;
}

// An ACL's description, application paths and prompt selector.
auto contents(const SecACLRef& acl) {
    return std::tuple(acl->description, paths(acl->applications), acl->promptSelector);
}

SecACLRef makeAcl(Strings tags, std::string description, std::uint16_t prompt = 0) {
    return std::make_shared<SecACL>(
        SecACL{std::move(tags), std::nullopt, std::move(description), prompt});
}

// The real keychain service on a temporary folder behind the fault switches,
// the log captured. No trusted-application candidate exists until placed.
class KeychainTest : public ::testing::Test {
  protected:
    KeychainTest() {
        writeFile(dir_ / "bin/program", "#!/bin/sh\nexit 0\n", std::filesystem::perms(0755));
        EXPECT_EQ(real_.SecKeychainCopyDomainDefault(kSecPreferencesDomainSystem, &keychain_),
                  errSecSuccess);
    }
    // The helper (and with it the bundle folder), the daemon and the
    // authorisation host.
    void installAllCandidates() const {
        for (std::size_t i = 1; i < candidates_.size(); ++i) {
            writeFile(candidates_[i], "program", std::filesystem::perms(0755));
        }
    }
    std::optional<PasswordItem> find(std::optional<std::string_view> account) {
        return KeychainUtil::findPassword(ctx_, "Lockstep", account, keychain_);
    }
    SecKeychainItemRef set(std::string_view account, std::string_view pass) {
        return KeychainUtil::setPassword(ctx_, "Lockstep", account, pass, "", keychain_);
    }
    bool update(std::string_view account, std::string_view pass) {
        return KeychainUtil::updatePassword(ctx_, "Lockstep", account, pass, "", keychain_);
    }
    // The item's stored ACL list, read straight from the real service.
    std::vector<SecACLRef> storedAcls(const SecKeychainItemRef& item) {
        SecAccessRef access;
        EXPECT_EQ(real_.SecKeychainItemCopyAccess(item, &access), errSecSuccess);
        return access == nullptr ? std::vector<SecACLRef>{} : access->acls;
    }

    LogCapture capture_;
    TempDir dir_;
    SqliteKeychainService real_{{.systemKeychainPath = dir_ / "system/System.keychain",
                                 .userKeychainPath = dir_ / "user/login.keychain",
                                 .callingProgramPath = dir_ / "bin/program"}};
    FaultyKeychainService service_{real_};
    // The keychain code never reaches the directory; Context still needs one.
    FaultyDirectoryService directory_{static_cast<DirectoryService&>(directory_)};
    Context ctx_{.keychain = service_,
                 .directory = directory_,
                 .bundlePath = dir_ / "bundle",
                 .machineRoot = dir_ / "root"};
    SecKeychainRef keychain_;
    // The trusted-application candidates, in their order.
    const Strings candidates_ = {
        ctx_.bundlePath.string(), (ctx_.bundlePath / "Contents/MacOS/lockstephelper").string(),
        (ctx_.machineRoot / "Applications/Lockstep.app/Contents/MacOS/lockstepd").string(),
        (ctx_.machineRoot /
         "System/Library/Frameworks/Security.framework/Versions/A/"
         "MachServices/authorizationhost.bundle/Contents/MacOS/authorizationhost")
            .string()};
};

TEST_F(KeychainTest, SetFindAndDuplicateAdd) {
    EXPECT_FALSE(find("alice").has_value());
    EXPECT_TRUE(capture_.contains(kLogLevelError, "Lockstep not found in keychain"));
    ASSERT_NE(set("alice", "Tr1cky-Pa55"), nullptr) << capture_.dump();
    ASSERT_NE(set("Zoë Ærø", "pässwörd"), nullptr);
    const std::optional<PasswordItem> item = find(std::nullopt);  // the service's oldest item
    ASSERT_TRUE(item.has_value()) << capture_.dump();
    // Lengths are UTF-8 byte counts.
    EXPECT_EQ(std::tuple(item->username, item->passwordText(), find("Zoë Ærø")->passwordText()),
              std::tuple("alice", "Tr1cky-Pa55", "pässwörd"));
    EXPECT_TRUE(capture_.systemContains("using provided keychain"));
    EXPECT_EQ(set("alice", "other"), nullptr);
    EXPECT_TRUE(capture_.contains("Error SecItemAdd: -25299"));
    EXPECT_EQ(find("alice")->passwordText(), "Tr1cky-Pa55");
    EXPECT_FALSE(capture_.contains("Tr1cky-Pa55"));
    // Unusable passwords (empty, not UTF-8) are never found.
    ASSERT_NE(set("carol", ""), nullptr);
    ASSERT_NE(set("dave", "\xC3\x28"), nullptr);
    capture_.clear();
    EXPECT_FALSE(find("carol").has_value() || find("dave").has_value());
    EXPECT_FALSE(capture_.contains("found in keychain")) << capture_.dump();
}

TEST_F(KeychainTest, WithoutKeychainTheUserDefaultIsUsedOrNoneWhenThereIsNone) {
    ASSERT_NE(KeychainUtil::setPassword(ctx_, "Lockstep", "alice", "pw", "", nullptr), nullptr);
    EXPECT_EQ(KeychainUtil::findPassword(ctx_, "Lockstep", std::nullopt, nullptr)->username,
              "alice");
    EXPECT_TRUE(capture_.systemContains("using user keychain"));
    EXPECT_FALSE(find(std::nullopt).has_value());  // nothing went to the system keychain
    for (const auto& [status, message] :
         {std::pair{errSecNoSuchKeychain, "error getting user keychain"},
          std::pair{errSecSuccess, "keychain is nil. returning."}}) {
        service_.faults["SecKeychainCopyDomainDefault"] = {.status = status};
        EXPECT_FALSE(KeychainUtil::findPassword(ctx_, "Lockstep", "alice", nullptr).has_value());
        EXPECT_EQ(capture_.systemEntries().back().message, message);
    }
}

TEST_F(KeychainTest, SetPasswordFailuresAroundTheAdd) {
    installAllCandidates();
    // The failing operation, whether an item is still given, what is logged.
    for (const auto& [operation, status, gives, message] :
         std::vector<std::tuple<std::string, OSStatus, bool, std::string>>{
             {"SecAccessCreate", errSecAllocate, false, "Error setting ACL"},
             {"SecAccessCopyACLList", errSecInvalidACL, false, ""},
             {"SecKeychainItemCopyAccess", errSecInvalidItemRef, false,
              "invalid accessControlList: -25304"},
             {"SecKeychainItemSetAccessWithPassword", errSecAuthFailed, true,
              "error SecKeychainItemSetAccessWithPassword: -25293"}}) {
        service_.faults = {{operation, {.status = status}}};
        capture_.clear();
        EXPECT_EQ(set(operation, "pw") != nullptr, gives) << operation;
        EXPECT_TRUE(capture_.contains(message)) << operation;
    }
    service_.faults.clear();
    EXPECT_TRUE(find("SecKeychainItemCopyAccess").has_value());  // the item stays
    EXPECT_EQ(service_.calls["SecItemAdd"], 2);                  // only once there is an access
}

TEST_F(KeychainTest, UpdateReplacesOnlyItsItemAndPutsItBackOnFailure) {
    EXPECT_TRUE(update("alice", "pw"));
    EXPECT_TRUE(capture_.contains("setting new password success"));
    ASSERT_NE(set("bob", "other"), nullptr);
    EXPECT_TRUE(update("alice", "old"));
    EXPECT_EQ(std::tuple(service_.calls["SecKeychainItemDelete"], find("bob")->passwordText()),
              std::tuple(1, "other"));
    // A failed add puts the previous item back, with the partitions that setPassword gives.
    capture_.clear();
    service_.faults["SecItemAdd"] = {.status = errSecDiskFull, .times = 1};
    EXPECT_FALSE(update("alice", "new-secret"));
    const std::optional<PasswordItem> item = find("alice");
    ASSERT_TRUE(item.has_value());
    EXPECT_EQ(item->passwordText(), "old");
    EXPECT_TRUE(std::ranges::any_of(storedAcls(item->keychainItem), [](const SecACLRef& acl) {
        return acl->description == describe(partitionsDict());
    }));
    EXPECT_TRUE(
        capture_.containsInOrder({"setting new password FAILURE: accountname:alice",
                                  "restored previous password item for accountname:alice"}));
    // A half-finished new item (added, partitions not rewritten) is removed
    // before the previous one is put back.
    service_.faults = {{"SecACLCopyContents", {.status = errSecInvalidACL}}};
    EXPECT_FALSE(update("alice", "new"));
    EXPECT_EQ(find("alice")->passwordText(), "old");
    // A restore that fails too is reported.
    service_.faults = {{"SecItemAdd", {.status = errSecDiskFull}}};
    EXPECT_FALSE(update("alice", "new"));
    EXPECT_TRUE(capture_.contains(
        kLogLevelError, "could not restore previous password item for accountname:alice"));
    // An exception (as from a failed allocation) stops the update and the
    // previous item is still put back.
    service_.faults.clear();
    ASSERT_NE(set("alice", "old"), nullptr);
    service_.faults["SecItemAdd"] = {.times = 1, .throws = true};
    EXPECT_FALSE(update("alice", "new"));
    EXPECT_EQ(find("alice")->passwordText(), "old");
    EXPECT_EQ(capture_.count("stopped by an unexpected error: std::bad_alloc"), 1U);
    // Nothing to restore without a previous item.
    service_.faults["SecItemAdd"] = {.status = errSecDiskFull, .times = 1};
    capture_.clear();
    EXPECT_FALSE(update("carol", "pw"));
    EXPECT_FALSE(capture_.contains("previous password item"));
}

TEST_F(KeychainTest, TrustedAppsAreTheCandidatesThatExistAndGetTheDecryptEntries) {
    writeFile(candidates_[3], "host");
    EXPECT_EQ(paths(KeychainUtil::trustedApps(ctx_)), Strings{candidates_[3]});
    // Without a bundle path no helper relative to the working folder is tried.
    ctx_.bundlePath.clear();
    EXPECT_EQ(paths(KeychainUtil::trustedApps(ctx_)), Strings{candidates_[3]});
    EXPECT_EQ(service_.calls["SecTrustedApplicationCreateFromPath"], 2);
    ctx_.bundlePath = candidates_[0];
    installAllCandidates();
    const SecACLRef first = makeAcl({"ACLAuthorizationDecrypt"}, "d1", 7);
    const SecACLRef other = makeAcl({"ACLAuthorizationEncrypt"}, "keep", 3);
    const SecACLRef second = makeAcl({"ACLAuthorizationSign", "ACLAuthorizationDecrypt"}, "d2", 9);
    service_.newAccess = std::make_shared<SecAccess>(SecAccess{{first, other, second}});
    const std::optional<ItemAccess> access = KeychainUtil::createItemAccess(ctx_, "alice");
    ASSERT_TRUE(access.has_value());
    EXPECT_EQ(paths(access->applications), candidates_);
    EXPECT_EQ(std::tuple(contents(first), contents(second), contents(other)),
              std::tuple(std::tuple("", candidates_, 7), std::tuple("", candidates_, 9),
                         std::tuple("keep", Strings{"(any)"}, 3)));
    service_.faults["SecTrustedApplicationCreateFromPath"] = {.status = errSecParam};
    EXPECT_TRUE(KeychainUtil::trustedApps(ctx_).empty());
    EXPECT_EQ(capture_.count("error appending trust for"), 4U);
}

TEST_F(KeychainTest, StoredAccessRewritesPartitionsKeepingOtherKeysAndFormat) {
    const SecKeychainItemRef item = set("alice", "pw");
    const std::vector<SecTrustedApplicationRef> apps = {
        std::make_shared<SecTrustedApplication>(SecTrustedApplication{"/opt/app", Bytes{}})};
    // Gives the item exactly these ACLs, then lets the code under test rewrite them.
    const auto apply = [&](std::vector<SecACLRef> acls, std::string_view password = "") {
        const auto access = std::make_shared<SecAccess>(SecAccess{std::move(acls)});
        EXPECT_EQ(real_.SecKeychainItemSetAccessWithPassword(item, access, 0, nullptr),
                  errSecSuccess);
        return KeychainUtil::applyStoredItemAccess(ctx_, item, apps, password);
    };
    const auto partition = [](const std::string& description) {
        return makeAcl({"ACLAuthorizationPartitionID"}, description, 5);
    };
    const std::string others = "<key>E</key><array/><key>X</key><array><string>a</string></array>";
    const std::string partitions = "<key>Partitions</key><array><string>teamid:A</string></array>";
    for (const PlistFormat format : {PlistFormat::XML, PlistFormat::Binary}) {
        const std::string before = describe("<dict>" + others + partitions + "</dict>", format);
        EXPECT_EQ(apply({makeAcl({"ACLAuthorizationDecrypt"}, "keep", 4), partition(before)}),
                  StoredItemAccessResult::done);
        const std::vector<SecACLRef> acls = storedAcls(item);
        ASSERT_EQ(acls.size(), 2U);
        EXPECT_EQ(std::tuple(contents(acls[0]), contents(acls[1])),
                  std::tuple(std::tuple("keep", Strings{"(any)"}, 4),
                             std::tuple(describe(partitionsDict(others), format),
                                        Strings{"/opt/app"}, 5)));
    }
    // An unreadable description is rebuilt; a property list of another shape
    // stops the change.
    EXPECT_EQ(apply({partition(hexEncode(toBytes("garbage")))}), StoredItemAccessResult::done);
    EXPECT_EQ(storedAcls(item).at(0)->description, describe(partitionsDict()));
    for (const std::string root :
         {"<array><string>apple:</string></array>",
          "<dict><key>Partitions</key><string>apple:</string></dict>",
          "<dict><key>Partitions</key><array><integer>7</integer></array></dict>"}) {
        EXPECT_EQ(apply({partition(describe(root))}), StoredItemAccessResult::failed) << root;
        EXPECT_EQ(storedAcls(item).at(0)->description, describe(root));  // unchanged
    }
    service_.faults = {{"SecAccessCopyACLList", {.status = errSecInvalidACL}}};  // no ACL list
    EXPECT_EQ(apply({partition("")}), StoredItemAccessResult::failed);
    // The access is written whatever the content change gives; the keychain
    // password counts in bytes up to its first NUL.
    service_.faults = {{"SecACLSetContents", {.status = errSecInvalidOwnerEdit}}};
    service_.setAccessLengths.clear();
    for (const std::string_view password : {""sv, "pw\0rest"sv, "kc-pässword"sv}) {
        EXPECT_EQ(apply({partition("")}, password), StoredItemAccessResult::done);
    }
    EXPECT_EQ(service_.setAccessLengths, (std::vector<std::uint32_t>{0U, 2U, 12U}));
}

}  // namespace
}  // namespace lockstep::testing
