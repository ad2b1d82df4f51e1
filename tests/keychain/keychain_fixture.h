#pragma once

#include <gmock/gmock.h>

#include <map>
#include <new>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "keychain/keychain_util.h"
#include "platform/context.h"
#include "platform/directory/directory.h"
#include "platform/keychain/sqlite_keychain.h"
#include "platform/plist.h"
#include "platform/text.h"
#include "support/log_capture.h"

namespace lockstep::testing {

using Strings = std::vector<std::string>;
using ApplicationList = std::vector<SecTrustedApplicationRef>;

// Forwards every operation to a real keychain service, except those a test
// makes fail: the failures the real service cannot be made to produce.
// Counts the calls of each operation by name.
class FaultyKeychainService final : public KeychainService {
  public:
    explicit FaultyKeychainService(KeychainService& real) : real_(real) {}

    struct Fault {
        // Answered instead of reaching the real service; the outputs stay as
        // the caller made them (empty).
        OSStatus status = errSecSuccess;
        int times = 1 << 30;  // how many calls fail
        // Throws std::bad_alloc instead, as an allocation failure deep inside would.
        bool throws = false;
    };
    std::map<std::string, Fault, std::less<>> faults;
    std::map<std::string, int, std::less<>> calls;
    // When set, SecAccessCreate gives this access object instead of a new one.
    SecAccessRef newAccess;
    // The password lengths SecKeychainItemSetAccessWithPassword was handed.
    std::vector<std::uint32_t> setAccessLengths;

    // Each operation counts its call, then answers its fault or the real
    // service's result.
#define LOCKSTEP_FORWARD(name, params, args)                \
    OSStatus name params override {                         \
        return run(#name, [&] { return real_.name args; }); \
    }
    using Item = const SecKeychainItemRef&;
    using Acl = const SecACLRef&;
    using U32 = std::uint32_t;
    LOCKSTEP_FORWARD(SecKeychainCopyDomainDefault, (SecPreferencesDomain d, SecKeychainRef* k),
                     (d, k))
    LOCKSTEP_FORWARD(SecKeychainFindGenericPassword,
                     (const SecKeychainRef& k, U32 sl, const char* s, U32 al, const char* a,
                      U32* pl, SecretBytes* p, SecKeychainItemRef* i),
                     (k, sl, s, al, a, pl, p, i))
    LOCKSTEP_FORWARD(SecKeychainItemCopyAttributesAndData,
                     (Item i, const SecKeychainAttributeInfo* info, SecItemClass* c,
                      SecKeychainAttributeList* l, U32* n, SecretBytes* d),
                     (i, info, c, l, n, d))
    LOCKSTEP_FORWARD(SecKeychainItemDelete, (Item i), (i))
    LOCKSTEP_FORWARD(SecItemAdd, (const CFDictionary& q, SecKeychainItemRef* i), (q, i))
    LOCKSTEP_FORWARD(SecAccessCopyACLList,
                     (const SecAccessRef& a, std::optional<std::vector<SecACLRef>>* l), (a, l))
    LOCKSTEP_FORWARD(SecACLCopyContents,
                     (Acl acl, SecApplicationList* l, std::string* d, std::uint16_t* p),
                     (acl, l, d, p))
    LOCKSTEP_FORWARD(SecACLSetContents,
                     (Acl acl, const SecApplicationList& l, std::string_view d, std::uint16_t p),
                     (acl, l, d, p))
    LOCKSTEP_FORWARD(SecTrustedApplicationCreateFromPath,
                     (const char* path, SecTrustedApplicationRef* app), (path, app))
    LOCKSTEP_FORWARD(SecKeychainItemCopyAccess, (Item i, SecAccessRef* a), (i, a))
    LOCKSTEP_FORWARD(SecRandomCopyBytes, (SecRandomRef r, std::size_t n, void* b), (r, n, b))
#undef LOCKSTEP_FORWARD

    OSStatus SecAccessCreate(std::string_view d, const SecApplicationList& l,
                             SecAccessRef* a) override {
        return run("SecAccessCreate", [&] {
            *a = newAccess;
            return newAccess ? errSecSuccess : real_.SecAccessCreate(d, l, a);
        });
    }
    std::vector<std::string> SecACLCopyAuthorizations(Acl acl) override {
        return real_.SecACLCopyAuthorizations(acl);
    }
    OSStatus SecKeychainItemSetAccessWithPassword(Item i, const SecAccessRef& a, U32 n,
                                                  const void* p) override {
        setAccessLengths.push_back(n);
        return run("SecKeychainItemSetAccessWithPassword",
                   [&] { return real_.SecKeychainItemSetAccessWithPassword(i, a, n, p); });
    }

  private:
    template <typename Call>
    OSStatus run(std::string_view operation, const Call& call) {
        ++calls[std::string(operation)];
        const auto fault = faults.find(operation);
        if (fault == faults.end() || fault->second.times-- <= 0) {
            return call();
        }
        if (fault->second.throws) {
            throw std::bad_alloc();
        }
        return fault->second.status;
    }

    KeychainService& real_;
};

// Hexadecimal text of a property list whose root is the XML element `root`,
// in `format`: a partition description as it is stored.
inline std::string describe(const std::string& root, PlistFormat format = PlistFormat::XML) {
    const auto parsed = parsePlist(toBytes("<?xml version=\"1.0\"?><plist>" + root + "</plist>"));
    return hexEncode(serializePlist(parsed.value().root.get(), format).value());
}

// Paths of an application list, in order; "(any)" for no list.
inline Strings paths(const SecApplicationList& applications) {
    Strings result = applications ? Strings{} : Strings{"(any)"};
    for (const SecTrustedApplicationRef& app : applications.value_or(ApplicationList{})) {
        result.push_back(app->path);
    }
    return result;
}

// An ACL's description, application paths and prompt selector.
inline auto contents(const SecACLRef& acl) {
    return std::tuple(acl->description, paths(acl->applications), acl->promptSelector);
}

// The texts of the lines logged under `function`, in order, without their
// source mark.
inline Strings messages(const std::vector<LoggedLine>& lines, std::string_view function) {
    Strings result;
    const std::string marker = std::string(function) + " ";
    for (const LoggedLine& line : lines) {
        if (const auto at = line.text.find(marker); at != std::string::npos) {
            result.push_back(line.text.substr(at + marker.size()));
        }
    }
    return result;
}

// The partition dictionary that a stored item is given, in XML, between
// other keys.
inline std::string partitionsDict(const std::string& otherKeys = "") {
    return "<dict>" + otherKeys +
           "<key>Partitions</key><array><string>apple:</string><string>teamid:Q7M4ZK2RTD</string>"
           "</array></dict>";
}

// The keychain code never reaches the directory; Context still needs one.
class NoDirectory : public DirectoryService {
    using Error = std::optional<ODError>*;
    using Record = const ODRecordRef&;

  public:
    MOCK_METHOD(ODSessionRef, ODSessionDefaultSession, (), (override));
    MOCK_METHOD(ODNodeRef, ODNodeInitWithSession, (const ODSessionRef&, ODNodeType, Error),
                (override));
    MOCK_METHOD(ODQueryRef, ODQueryInitWithNode,
                (const ODNodeRef&, std::string_view, std::string_view, ODMatchType, const Strings&,
                 std::string_view, std::int64_t, Error),
                (override));
    MOCK_METHOD(std::optional<std::vector<ODRecordRef>>, resultsAllowingPartial,
                (const ODQueryRef&, bool, Error), (override));
    MOCK_METHOD(bool, verifyPassword, (Record, std::string_view, Error), (override));
    MOCK_METHOD(std::optional<std::vector<ODValue>>, valuesForAttribute,
                (Record, std::string_view, Error), (override));
    MOCK_METHOD(std::string, recordName, (Record), (override));
    MOCK_METHOD(bool, isMemberRecord, (Record, Record, Error), (override));
    MOCK_METHOD(bool, addMemberRecord, (Record, Record, Error), (override));
    MOCK_METHOD(bool, removeMemberRecord, (Record, Record, Error), (override));
    MOCK_METHOD(bool, setValueForAttribute, (Record, const ODValue&, std::string_view, Error),
                (override));
};

// The real keychain service on a temporary folder, behind the fault switches,
// with the log captured. No trusted-application candidate exists until a test
// places it.
class KeychainTest : public ::testing::Test {
  protected:
    KeychainTest() {
        writeFile(dir_ / "bin/program", "#!/bin/sh\nexit 0\n", std::filesystem::perms(0755));
        EXPECT_EQ(real_.SecKeychainCopyDomainDefault(kSecPreferencesDomainSystem, &keychain_),
                  errSecSuccess);
    }

    // Creates the helper (and with it the bundle folder), the daemon and the
    // authorisation host.
    void installAllCandidates() const {
        for (std::size_t i = 1; i < candidates_.size(); ++i) {
            writeFile(candidates_[i], "program", std::filesystem::perms(0755));
        }
    }
    [[nodiscard]] std::optional<PasswordItem> find(std::optional<std::string_view> account) {
        return KeychainUtil::findPassword(ctx_, "Lockstep", account, keychain_);
    }
    SecKeychainItemRef set(std::string_view account, std::string_view pass) {
        return KeychainUtil::setPassword(ctx_, "Lockstep", account, pass, "", keychain_);
    }
    bool update(std::string_view account, std::string_view pass) {
        return KeychainUtil::updatePassword(ctx_, "Lockstep", account, pass, "", keychain_);
    }
    // The item's stored ACL list, read straight from the real service.
    [[nodiscard]] std::vector<SecACLRef> storedAcls(const SecKeychainItemRef& item) {
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
    ::testing::StrictMock<NoDirectory> directory_;
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

}  // namespace lockstep::testing
