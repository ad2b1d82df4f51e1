#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/directory/directory.h"
#include "platform/keychain/keychain.h"
#include "platform/status.h"
#include "support/temp_dir.h"

namespace lockstep::testing {

// A crypt(3) hash of `password` made by libxcrypt with the given method
// prefix ("$y$" yescrypt, "$6$" SHA-512, ...) at the method's lowest cost, so
// tests stay fast.
[[nodiscard]] std::string cryptHash(std::string_view password, std::string_view prefix = "$y$");

// What the shadow entry of a test user says about the account.
enum class AccountState {
    active,    // the password hash, no aging
    locked,    // "!" before the hash (passwd -l)
    disabled,  // "*": no password is accepted
    expired,   // the account's expiration date has passed
    inactive,  // the password expired and the inactivity period after it too
};

// Every member has a default, so designated initializers may leave any out.
struct TestUser {
    std::string name{};
    std::uint32_t uid = 501;
    std::uint32_t gid = 20;
    std::string password{};
    AccountState state = AccountState::active;
    std::string realName{};
    // Empty: "/Users/<name>".
    std::string home{};
    std::string shell = "/bin/zsh";
};

struct TestGroup {
    std::string name{};
    std::uint32_t gid = 0;
    std::vector<std::string> members{};
};

// A machine root with account files for LocalDirectoryService: etc/passwd,
// etc/shadow, etc/group and etc/gshadow, all four rewritten from the users
// and groups held here after every change made through this object (so
// changes a service made to the files in between are lost).
//
//     TestDirectory tree;                       // its own temporary folder
//     tree.addUser("alice", "secret", 501);
//     tree.addUser("bob", "pw", 502, AccountState::locked);
//     tree.addUser(TestUser{.name = "carl", .uid = 503, .password = "pw",
//                           .home = "/var/carl"});
//     tree.addGroup("admin", 80, {"alice"});
//     LocalDirectoryService service(tree.root());
//
// Users and groups keep the order they were added in; adding a name twice
// makes two entries of that name.
class TestDirectory {
  public:
    // Account files in a fresh temporary folder, removed with this object.
    TestDirectory();
    // Account files under `root` (created when missing), e.g. the machine
    // root of a test that owns the folder itself.
    explicit TestDirectory(std::filesystem::path root);
    ~TestDirectory();
    TestDirectory(const TestDirectory&) = delete;
    TestDirectory& operator=(const TestDirectory&) = delete;

    [[nodiscard]] const std::filesystem::path& root() const { return root_; }
    // The path of one account file, e.g. etc("passwd").
    [[nodiscard]] std::filesystem::path etc(std::string_view name) const;

    TestDirectory& addUser(const TestUser& user);
    TestDirectory& addUser(std::string_view name, std::string_view password, std::uint32_t uid,
                           AccountState state = AccountState::active);
    TestDirectory& addGroup(const TestGroup& group);
    TestDirectory& addGroup(std::string_view name, std::uint32_t gid,
                            std::vector<std::string> members = {});

    [[nodiscard]] const std::vector<TestUser>& users() const { return users_; }
    [[nodiscard]] const std::vector<TestGroup>& groups() const { return groups_; }

    // Writes the four files from the users and groups added so far.
    void write() const;

  private:
    std::unique_ptr<TempDir> ownFolder_;
    std::filesystem::path root_;
    std::vector<TestUser> users_;
    std::vector<std::string> shadowFields_;
    std::vector<TestGroup> groups_;
};

// Forwards every operation to a real directory service, except those a test
// makes fail: for faults the account files cannot produce (a temporarily
// locked account, a node that will not open, a failing membership test) and
// attribute values they cannot hold (a UID of "abc"). Header-only, so it
// costs nothing to programs that do not use it.
class FaultyDirectoryService final : public DirectoryService {
  public:
    explicit FaultyDirectoryService(DirectoryService& real) : real_(real) {}

    // When set, the operation fails with this error (and does nothing).
    std::optional<ODError> nodeError;
    std::optional<ODError> usersQueryError;
    std::optional<ODError> groupsQueryError;
    std::optional<ODError> resultsError;
    std::optional<ODError> verifyError;
    // When set, verifyPassword throws this text as a std::runtime_error: a
    // failure that is no directory error at all.
    std::optional<std::string> verifyThrows;
    std::optional<ODError> memberError;
    std::optional<ODError> addMemberError;
    std::optional<ODError> removeMemberError;
    std::optional<ODError> setValueError;
    // Attribute values seen instead of the real ones, keyed by record name
    // and attribute; and reads that fail.
    std::map<std::pair<std::string, std::string>, std::vector<ODValue>> values;
    std::map<std::pair<std::string, std::string>, ODError> valueErrors;

    // How often each operation was called.
    int verifyCalls = 0;
    int addMemberCalls = 0;
    int removeMemberCalls = 0;
    int setValueCalls = 0;

    [[nodiscard]] ODSessionRef ODSessionDefaultSession() override {
        return real_.ODSessionDefaultSession();
    }
    [[nodiscard]] ODNodeRef ODNodeInitWithSession(const ODSessionRef& session, ODNodeType type,
                                                  std::optional<ODError>* error) override {
        if (nodeError) {
            fail(nodeError, error);
            return nullptr;
        }
        return real_.ODNodeInitWithSession(session, type, error);
    }
    [[nodiscard]] ODQueryRef ODQueryInitWithNode(const ODNodeRef& node, std::string_view recordType,
                                                 std::string_view attribute, ODMatchType matchType,
                                                 const std::vector<std::string>& queryValues,
                                                 std::string_view returnAttributes,
                                                 std::int64_t maximumResults,
                                                 std::optional<ODError>* error) override {
        const auto& fault = recordType == kODRecordTypeGroups ? groupsQueryError : usersQueryError;
        if (fault) {
            fail(fault, error);
            return nullptr;
        }
        return real_.ODQueryInitWithNode(node, recordType, attribute, matchType, queryValues,
                                         returnAttributes, maximumResults, error);
    }
    [[nodiscard]] std::optional<std::vector<ODRecordRef>> resultsAllowingPartial(
        const ODQueryRef& query, bool allowPartial, std::optional<ODError>* error) override {
        if (resultsError) {
            fail(resultsError, error);
            return std::nullopt;
        }
        return real_.resultsAllowingPartial(query, allowPartial, error);
    }
    [[nodiscard]] bool verifyPassword(const ODRecordRef& record, std::string_view password,
                                      std::optional<ODError>* error) override {
        ++verifyCalls;
        if (verifyThrows) {
            throw std::runtime_error(*verifyThrows);
        }
        if (verifyError) {
            return fail(verifyError, error);
        }
        return real_.verifyPassword(record, password, error);
    }
    [[nodiscard]] std::optional<std::vector<ODValue>> valuesForAttribute(
        const ODRecordRef& record, std::string_view attribute,
        std::optional<ODError>* error) override {
        const auto key = std::make_pair(record->recordName(), std::string(attribute));
        if (const auto failure = valueErrors.find(key); failure != valueErrors.end()) {
            fail(failure->second, error);
            return std::nullopt;
        }
        if (const auto replaced = values.find(key); replaced != values.end()) {
            return replaced->second;
        }
        return real_.valuesForAttribute(record, attribute, error);
    }
    [[nodiscard]] std::string recordName(const ODRecordRef& record) override {
        return real_.recordName(record);
    }
    [[nodiscard]] bool isMemberRecord(const ODRecordRef& group, const ODRecordRef& member,
                                      std::optional<ODError>* error) override {
        if (memberError) {
            return fail(memberError, error);
        }
        return real_.isMemberRecord(group, member, error);
    }
    [[nodiscard]] bool addMemberRecord(const ODRecordRef& group, const ODRecordRef& member,
                                       std::optional<ODError>* error) override {
        ++addMemberCalls;
        if (addMemberError) {
            return fail(addMemberError, error);
        }
        return real_.addMemberRecord(group, member, error);
    }
    [[nodiscard]] bool removeMemberRecord(const ODRecordRef& group, const ODRecordRef& member,
                                          std::optional<ODError>* error) override {
        ++removeMemberCalls;
        if (removeMemberError) {
            return fail(removeMemberError, error);
        }
        return real_.removeMemberRecord(group, member, error);
    }
    [[nodiscard]] bool setValueForAttribute(const ODRecordRef& record, const ODValue& value,
                                            std::string_view attribute,
                                            std::optional<ODError>* error) override {
        ++setValueCalls;
        if (setValueError) {
            return fail(setValueError, error);
        }
        return real_.setValueForAttribute(record, value, attribute, error);
    }

  private:
    static bool fail(const std::optional<ODError>& fault, std::optional<ODError>* error) {
        return fail(*fault, error);
    }
    static bool fail(const ODError& fault, std::optional<ODError>* error) {
        if (error != nullptr) {
            *error = fault;
        }
        return false;
    }

    DirectoryService& real_;
};

// A keychain service for code that needs a Context but never reaches the
// keychain: every operation answers errSecNotAvailable.
class UnavailableKeychainService final : public KeychainService {
  public:
    OSStatus SecKeychainCopyDomainDefault(SecPreferencesDomain, SecKeychainRef*) override {
        return errSecNotAvailable;
    }
    OSStatus SecKeychainFindGenericPassword(const SecKeychainRef&, std::uint32_t, const char*,
                                            std::uint32_t, const char*, std::uint32_t*,
                                            SecretBytes*, SecKeychainItemRef*) override {
        return errSecNotAvailable;
    }
    OSStatus SecKeychainItemCopyAttributesAndData(const SecKeychainItemRef&,
                                                  const SecKeychainAttributeInfo*, SecItemClass*,
                                                  SecKeychainAttributeList*, std::uint32_t*,
                                                  SecretBytes*) override {
        return errSecNotAvailable;
    }
    OSStatus SecKeychainItemDelete(const SecKeychainItemRef&) override {
        return errSecNotAvailable;
    }
    OSStatus SecItemAdd(const CFDictionary&, SecKeychainItemRef*) override {
        return errSecNotAvailable;
    }
    OSStatus SecAccessCreate(std::string_view, const SecApplicationList&, SecAccessRef*) override {
        return errSecNotAvailable;
    }
    OSStatus SecAccessCopyACLList(const SecAccessRef&,
                                  std::optional<std::vector<SecACLRef>>*) override {
        return errSecNotAvailable;
    }
    OSStatus SecACLCopyContents(const SecACLRef&, SecApplicationList*, std::string*,
                                std::uint16_t*) override {
        return errSecNotAvailable;
    }
    std::vector<std::string> SecACLCopyAuthorizations(const SecACLRef&) override { return {}; }
    OSStatus SecACLSetContents(const SecACLRef&, const SecApplicationList&, std::string_view,
                               std::uint16_t) override {
        return errSecNotAvailable;
    }
    OSStatus SecTrustedApplicationCreateFromPath(const char*, SecTrustedApplicationRef*) override {
        return errSecNotAvailable;
    }
    OSStatus SecKeychainItemCopyAccess(const SecKeychainItemRef&, SecAccessRef*) override {
        return errSecNotAvailable;
    }
    OSStatus SecKeychainItemSetAccessWithPassword(const SecKeychainItemRef&, const SecAccessRef&,
                                                  std::uint32_t, const void*) override {
        return errSecNotAvailable;
    }
    OSStatus SecRandomCopyBytes(SecRandomRef, std::size_t, void*) override {
        return errSecNotAvailable;
    }
};

}  // namespace lockstep::testing
