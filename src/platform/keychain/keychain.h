#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/bytes.h"
#include "platform/status.h"

namespace lockstep {

// Opaque, reference-counted platform objects. The logic only holds and passes
// them; the keychain service defines what is inside. Each reference is a
// shared owner, so releasing is dropping the last reference.
class SecKeychain;
class SecKeychainItem;
using SecKeychainRef = std::shared_ptr<SecKeychain>;
using SecKeychainItemRef = std::shared_ptr<SecKeychainItem>;

// A program trusted by an access-control entry: its path and, for a regular
// file, the SHA-256 of its contents (empty for an application folder).
struct SecTrustedApplication {
    std::string path;
    Bytes digest;
};
using SecTrustedApplicationRef = std::shared_ptr<const SecTrustedApplication>;

// An application list of an ACL. No list (nullopt) means any application.
using SecApplicationList = std::optional<std::vector<SecTrustedApplicationRef>>;

// One access-control entry. Changed in place through SecACLSetContents, so a
// change shows in the access object that holds it.
struct SecACL {
    std::vector<std::string> authorizations;
    SecApplicationList applications;
    std::string description;
    std::uint16_t promptSelector = 0;
};
using SecACLRef = std::shared_ptr<SecACL>;

// An access object: an ordered list of ACLs.
struct SecAccess {
    std::vector<SecACLRef> acls;
};
using SecAccessRef = std::shared_ptr<SecAccess>;

enum class SecPreferencesDomain : int { User = 0, System = 1 };
inline constexpr SecPreferencesDomain kSecPreferencesDomainUser = SecPreferencesDomain::User;
inline constexpr SecPreferencesDomain kSecPreferencesDomainSystem = SecPreferencesDomain::System;

// Authorization tags.
inline constexpr std::string_view kACLAuthorizationAny = "ACLAuthorizationAny";
inline constexpr std::string_view kACLAuthorizationEncrypt = "ACLAuthorizationEncrypt";
inline constexpr std::string_view kACLAuthorizationDecrypt = "ACLAuthorizationDecrypt";
inline constexpr std::string_view kACLAuthorizationDerive = "ACLAuthorizationDerive";
inline constexpr std::string_view kACLAuthorizationExportClear = "ACLAuthorizationExportClear";
inline constexpr std::string_view kACLAuthorizationExportWrapped = "ACLAuthorizationExportWrapped";
inline constexpr std::string_view kACLAuthorizationMAC = "ACLAuthorizationMAC";
inline constexpr std::string_view kACLAuthorizationSign = "ACLAuthorizationSign";
inline constexpr std::string_view kACLAuthorizationChangeACL = "ACLAuthorizationChangeACL";
inline constexpr std::string_view kACLAuthorizationPartitionID = "ACLAuthorizationPartitionID";

// Item classes and attribute tags (four-character codes).
using SecItemClass = std::uint32_t;
inline constexpr SecItemClass kSecGenericPasswordItemClass = 0x67656e70;  // 'genp'
inline constexpr std::uint32_t kSecAccountItemAttr = 0x61636374;          // 'acct'
inline constexpr std::uint32_t kSecServiceItemAttr = 0x73766365;          // 'svce'
inline constexpr std::uint32_t CSSM_DB_ATTRIBUTE_FORMAT_STRING = 0;

struct SecKeychainAttributeInfo {
    std::vector<std::uint32_t> tags;
    std::vector<std::uint32_t> formats;
};

struct SecKeychainAttribute {
    std::uint32_t tag = 0;
    // The attribute's bytes; nothing when the item has no such attribute.
    std::optional<Bytes> data;
};
using SecKeychainAttributeList = std::vector<SecKeychainAttribute>;

// The attribute dictionary of SecItemAdd, keyed by the platform's key names.
using CFValue = std::variant<std::string, SecretBytes, bool, SecAccessRef, SecKeychainRef>;
using CFDictionary = std::map<std::string, CFValue, std::less<>>;

inline constexpr std::string_view kSecClass = "class";
inline constexpr std::string_view kSecClassGenericPassword = "genp";
inline constexpr std::string_view kSecAttrAccount = "acct";
inline constexpr std::string_view kSecAttrService = "svce";
inline constexpr std::string_view kSecValueData = "v_Data";
inline constexpr std::string_view kSecAttrAccess = "acls";
inline constexpr std::string_view kSecUseKeychain = "u_Keychain";
inline constexpr std::string_view kSecReturnRef = "r_Ref";

// The random generator handle; there is only the default one.
enum class SecRandomRef { Default };
inline constexpr SecRandomRef kSecRandomDefault = SecRandomRef::Default;

// The keychain operations the logic calls, named and ordered as the
// platform's. Every operation returns a status (errSecSuccess on success)
// and never throws. The real service is SqliteKeychainService; tests wrap it
// to force failures it cannot be made to produce.
class KeychainService {
  public:
    virtual ~KeychainService() = default;

    [[nodiscard]] virtual OSStatus SecKeychainCopyDomainDefault(SecPreferencesDomain domain,
                                                                SecKeychainRef* keychain) = 0;

    // An absent account (length 0, no bytes) matches the oldest item of the
    // service whatever its account. Outputs may be null when not wanted.
    [[nodiscard]] virtual OSStatus SecKeychainFindGenericPassword(
        const SecKeychainRef& keychain, std::uint32_t serviceNameLength, const char* serviceName,
        std::uint32_t accountNameLength, const char* accountName, std::uint32_t* passwordLength,
        SecretBytes* passwordData, SecKeychainItemRef* itemRef) = 0;

    [[nodiscard]] virtual OSStatus SecKeychainItemCopyAttributesAndData(
        const SecKeychainItemRef& item, const SecKeychainAttributeInfo* info,
        SecItemClass* itemClass, SecKeychainAttributeList* attrList, std::uint32_t* length,
        SecretBytes* outData) = 0;

    [[nodiscard]] virtual OSStatus SecKeychainItemDelete(const SecKeychainItemRef& item) = 0;

    [[nodiscard]] virtual OSStatus SecItemAdd(const CFDictionary& attributes,
                                              SecKeychainItemRef* result) = 0;

    [[nodiscard]] virtual OSStatus SecAccessCreate(std::string_view descriptor,
                                                   const SecApplicationList& trustedList,
                                                   SecAccessRef* accessRef) = 0;

    // Gives no list (nullopt) on failure.
    [[nodiscard]] virtual OSStatus SecAccessCopyACLList(
        const SecAccessRef& access, std::optional<std::vector<SecACLRef>>* aclList) = 0;

    [[nodiscard]] virtual OSStatus SecACLCopyContents(const SecACLRef& acl,
                                                      SecApplicationList* applicationList,
                                                      std::string* description,
                                                      std::uint16_t* promptSelector) = 0;

    [[nodiscard]] virtual std::vector<std::string> SecACLCopyAuthorizations(
        const SecACLRef& acl) = 0;

    [[nodiscard]] virtual OSStatus SecACLSetContents(const SecACLRef& acl,
                                                     const SecApplicationList& applicationList,
                                                     std::string_view description,
                                                     std::uint16_t promptSelector) = 0;

    [[nodiscard]] virtual OSStatus SecTrustedApplicationCreateFromPath(
        const char* path, SecTrustedApplicationRef* app) = 0;

    [[nodiscard]] virtual OSStatus SecKeychainItemCopyAccess(const SecKeychainItemRef& item,
                                                             SecAccessRef* access) = 0;

    [[nodiscard]] virtual OSStatus SecKeychainItemSetAccessWithPassword(
        const SecKeychainItemRef& item, const SecAccessRef& access, std::uint32_t passwordLength,
        const void* password) = 0;

    [[nodiscard]] virtual OSStatus SecRandomCopyBytes(SecRandomRef rnd, std::size_t count,
                                                      void* bytes) = 0;

    // Not one of the platform's operations: runs `change`, whose operations
    // work through this service on `keychain` (null: the user's default
    // keychain), as one change of that keychain where the service can. Then
    // other processes see the keychain as it was before or as it is after,
    // never in between; a process killed half way leaves it as it was; and
    // when `change` gives false, nothing it did is kept. `change` is told
    // whether it runs so (true), or as it is and must mend a failure itself
    // (false). Gives what `change` gave, or false without running it when the
    // keychain cannot be held for the change; an exception from `change`
    // passes on, the change undone. This default runs it as it is.
    [[nodiscard]] virtual bool changeAtomically(const SecKeychainRef& /*keychain*/,
                                                const std::function<bool(bool atomic)>& change) {
        return change(false);
    }

    // Not one of the platform's operations: the file that `keychain` (null:
    // the user's default keychain) stands for, for reports; nothing when the
    // service cannot tell.
    [[nodiscard]] virtual std::optional<std::filesystem::path> keychainFile(
        const SecKeychainRef& /*keychain*/) const {
        return std::nullopt;
    }
};

}  // namespace lockstep
