#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/context.h"
#include "platform/directory/directory.h"
#include "platform/directory/local_directory.h"
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

// A machine root with account files for LocalDirectoryService: etc/passwd,
// etc/shadow, etc/group and etc/gshadow, all four rewritten from the entries
// added here after every change made through this object (so changes a
// service made to the files in between are lost). Entries keep the order
// they were added in; adding a name twice makes two entries of that name.
//
//     TestDirectory tree;                       // its own temporary folder
//     tree.addUser("bob", "pw", 502, AccountState::locked);
//     tree.addUser(TestUser{.name = "carl", .uid = 503, .home = "/var/carl"});
//     tree.addGroup("admin", 80, {"bob"});
//     LocalDirectoryService service(tree.root());
class TestDirectory {
  public:
    // Account files in a fresh temporary folder, removed with this object.
    TestDirectory() : ownFolder_(std::in_place), root_(ownFolder_->path()) { write(); }
    // Account files under `root` (created when missing).
    explicit TestDirectory(std::filesystem::path root) : root_(std::move(root)) { write(); }

    [[nodiscard]] const std::filesystem::path& root() const { return root_; }

    TestDirectory& addUser(const TestUser& user);
    TestDirectory& addUser(std::string_view name, std::string_view password, std::uint32_t uid,
                           AccountState state = AccountState::active);
    TestDirectory& addGroup(std::string_view name, std::uint32_t gid,
                            const std::vector<std::string>& members = {});

    // Writes the four files from the entries added so far.
    void write() const;

  private:
    std::optional<TempDir> ownFolder_;
    std::filesystem::path root_;
    std::string passwd_, shadow_, group_, gshadow_;
};

// Forwards every operation to a real directory service, except those a test
// makes fail: for faults the account files cannot produce (a temporarily
// locked account, a node that will not open, a failing membership test) and
// attribute values they cannot hold (a UID of "abc").
class FaultyDirectoryService final : public DirectoryService {
  public:
    using Fault = std::optional<ODError>;
    explicit FaultyDirectoryService(DirectoryService& real) : real_(real) {}

    // Operations that fail with the error and do nothing, by name: "node",
    // "groups" (queries for groups), "results", "verify", "member", "add",
    // "remove", "set", and "<record> <attribute>" for reading a value.
    std::map<std::string, ODError, std::less<>> fail;
    // How often each operation was called, by the same names.
    std::map<std::string, int, std::less<>> calls;
    // Attribute values seen instead of the real ones, by record name and attribute.
    std::map<std::pair<std::string, std::string>, std::vector<ODValue>> values;

    ODSessionRef ODSessionDefaultSession() override { return real_.ODSessionDefaultSession(); }
    ODNodeRef ODNodeInitWithSession(const ODSessionRef& s, ODNodeType t, Fault* e) override {
        return run("node", e, [&] { return real_.ODNodeInitWithSession(s, t, e); });
    }
    ODQueryRef ODQueryInitWithNode(const ODNodeRef& n, std::string_view type, std::string_view a,
                                   ODMatchType m, const std::vector<std::string>& v,
                                   std::string_view r, std::int64_t max, Fault* e) override {
        return run(type == kODRecordTypeGroups ? "groups" : "users", e,
                   [&] { return real_.ODQueryInitWithNode(n, type, a, m, v, r, max, e); });
    }
    std::optional<std::vector<ODRecordRef>> resultsAllowingPartial(const ODQueryRef& q, bool p,
                                                                   Fault* e) override {
        return run("results", e, [&] { return real_.resultsAllowingPartial(q, p, e); });
    }
    bool verifyPassword(const ODRecordRef& r, std::string_view p, Fault* e) override {
        return run("verify", e, [&] { return real_.verifyPassword(r, p, e); });
    }
    std::optional<std::vector<ODValue>> valuesForAttribute(const ODRecordRef& r, std::string_view a,
                                                           Fault* e) override {
        const auto given = values.find({r->recordName(), std::string(a)});
        return run(r->recordName() + " " + std::string(a), e, [&] {
            return given != values.end() ? given->second : real_.valuesForAttribute(r, a, e);
        });
    }
    std::string recordName(const ODRecordRef& record) override { return real_.recordName(record); }
    bool isMemberRecord(const ODRecordRef& g, const ODRecordRef& m, Fault* e) override {
        return run("member", e, [&] { return real_.isMemberRecord(g, m, e); });
    }
    bool addMemberRecord(const ODRecordRef& g, const ODRecordRef& m, Fault* e) override {
        return run("add", e, [&] { return real_.addMemberRecord(g, m, e); });
    }
    bool removeMemberRecord(const ODRecordRef& g, const ODRecordRef& m, Fault* e) override {
        return run("remove", e, [&] { return real_.removeMemberRecord(g, m, e); });
    }
    bool setValueForAttribute(const ODRecordRef& r, const ODValue& v, std::string_view a,
                              Fault* e) override {
        return run("set", e, [&] { return real_.setValueForAttribute(r, v, a, e); });
    }

  private:
    // Counts the call; gives what `real` gives, or with a fault set reports
    // it and gives the empty result (nullptr, nothing, false).
    template <class Real>
    auto run(const std::string& name, Fault* error, Real real) -> decltype(real()) {
        ++calls[name];
        const auto fault = fail.find(name);
        if (fault != fail.end() && error != nullptr) *error = fault->second;
        return fault != fail.end() ? decltype(real()){} : real();
    }

    DirectoryService& real_;
};

// A keychain service for code that needs a Context but never reaches the
// keychain: every operation answers errSecNotAvailable.
#define UNAVAILABLE(name, ...)            \
    OSStatus name(__VA_ARGS__) override { \
        return errSecNotAvailable;        \
    }
class UnavailableKeychainService final : public KeychainService {
  public:
    UNAVAILABLE(SecKeychainCopyDomainDefault, SecPreferencesDomain, SecKeychainRef*)
    UNAVAILABLE(SecKeychainFindGenericPassword, const SecKeychainRef&, std::uint32_t, const char*,
                std::uint32_t, const char*, std::uint32_t*, SecretBytes*, SecKeychainItemRef*)
    UNAVAILABLE(SecKeychainItemCopyAttributesAndData, const SecKeychainItemRef&,
                const SecKeychainAttributeInfo*, SecItemClass*, SecKeychainAttributeList*,
                std::uint32_t*, SecretBytes*)
    UNAVAILABLE(SecKeychainItemDelete, const SecKeychainItemRef&)
    UNAVAILABLE(SecItemAdd, const CFDictionary&, SecKeychainItemRef*)
    UNAVAILABLE(SecAccessCreate, std::string_view, const SecApplicationList&, SecAccessRef*)
    UNAVAILABLE(SecAccessCopyACLList, const SecAccessRef&, std::optional<std::vector<SecACLRef>>*)
    UNAVAILABLE(SecACLCopyContents, const SecACLRef&, SecApplicationList*, std::string*,
                std::uint16_t*)
    UNAVAILABLE(SecACLSetContents, const SecACLRef&, const SecApplicationList&, std::string_view,
                std::uint16_t)
    UNAVAILABLE(SecTrustedApplicationCreateFromPath, const char*, SecTrustedApplicationRef*)
    UNAVAILABLE(SecKeychainItemCopyAccess, const SecKeychainItemRef&, SecAccessRef*)
    UNAVAILABLE(SecKeychainItemSetAccessWithPassword, const SecKeychainItemRef&,
                const SecAccessRef&, std::uint32_t, const void*)
    UNAVAILABLE(SecRandomCopyBytes, SecRandomRef, std::size_t, void*)
    std::vector<std::string> SecACLCopyAuthorizations(const SecACLRef&) override { return {}; }
};
#undef UNAVAILABLE

// A context over a real local directory on a temporary account tree, behind a
// FaultyDirectoryService; the keychain is never reached.
struct DirectoryContext {
    TestDirectory tree;
    LocalDirectoryService real{tree.root(), std::chrono::milliseconds(100)};
    FaultyDirectoryService directory{real};
    UnavailableKeychainService keychain;
    Context context{keychain, directory, "/usr/bin/fdesetup", {}, "/"};
};

}  // namespace lockstep::testing
