#pragma once

#include <chrono>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/keychain/keychain.h"

namespace lockstep {

// Where the shipped daemon keeps the system domain's default keychain.
inline constexpr const char* kDefaultSystemKeychainPath = "/var/lib/lockstep/System.keychain";
// The user domain's default keychain, under the real user's home folder.
inline constexpr const char* kUserKeychainRelativePath = ".local/share/lockstep/login.keychain";
// Partition of programs on Linux: they carry no code signature, so there is
// no team to name; every program of the machine shares this partition.
inline constexpr const char* kDefaultPartitionId = "unsigned:";

struct SqliteKeychainOptions {
    // The system domain's default keychain.
    std::filesystem::path systemKeychainPath = kDefaultSystemKeychainPath;
    // The user domain's default keychain. Absent: kUserKeychainRelativePath
    // under the home folder of the real user (getuid) from the user database.
    std::optional<std::filesystem::path> userKeychainPath;
    // The program that SecAccessCreate trusts. Absent: the running
    // executable (/proc/self/exe).
    std::optional<std::filesystem::path> callingProgramPath;
    // The partition that SecItemAdd records for the creating program.
    std::string partitionId = kDefaultPartitionId;
};

// What an administration tool may see of a stored item: no secret.
struct KeychainItemInfo {
    Bytes service;
    std::optional<Bytes> account;
    std::chrono::system_clock::time_point created;
    std::chrono::system_clock::time_point modified;
    // The item's ACL list in order; nothing when the stored list is damaged.
    std::optional<std::vector<SecACLRef>> acls;
};

// The keychain service on Linux. Each keychain is a SQLite file
// ("<name>.keychain") with its 32-byte key beside it ("<name>.keychain.key",
// mode 0600). Secrets are sealed with AES-256-GCM and bound to their item's
// class, service and account. ACLs are recorded and returned exactly; they
// are not enforced in the process. Keychains have no password of their own,
// so any keychain password is accepted. Nothing here reads the environment.
class SqliteKeychainService final : public KeychainService {
  public:
    explicit SqliteKeychainService(SqliteKeychainOptions options = {});
    ~SqliteKeychainService() override;
    SqliteKeychainService(const SqliteKeychainService&) = delete;
    SqliteKeychainService& operator=(const SqliteKeychainService&) = delete;

    // Opens the domain's default keychain read only, creating nothing: a
    // keychain that does not exist yet holds no items, and the first item
    // stored in it creates it (folders 0700, database and key 0600).
    // errSecNoSuchKeychain when the user's home cannot be found;
    // errSecInvalidKeychain for a file that is not an intact keychain or an
    // unsafe key file; errSecAuthFailed when the key is missing or does not
    // open the keychain.
    [[nodiscard]] OSStatus SecKeychainCopyDomainDefault(SecPreferencesDomain domain,
                                                        SecKeychainRef* keychain) override;

    // A null keychain means the user domain's default. A zero-length service
    // is errSecParam. A secret that does not authenticate is errSecDecode.
    [[nodiscard]] OSStatus SecKeychainFindGenericPassword(
        const SecKeychainRef& keychain, std::uint32_t serviceNameLength, const char* serviceName,
        std::uint32_t accountNameLength, const char* accountName, std::uint32_t* passwordLength,
        SecretBytes* passwordData, SecKeychainItemRef* itemRef) override;

    // Answers kSecAccountItemAttr and kSecServiceItemAttr (an item without an
    // account gives that attribute without data); other tags are
    // errSecNoSuchAttr. The secret is opened only when it is asked for.
    [[nodiscard]] OSStatus SecKeychainItemCopyAttributesAndData(
        const SecKeychainItemRef& item, const SecKeychainAttributeInfo* info,
        SecItemClass* itemClass, SecKeychainAttributeList* attrList, std::uint32_t* length,
        SecretBytes* outData) override;

    [[nodiscard]] OSStatus SecKeychainItemDelete(const SecKeychainItemRef& item) override;

    // Keys: kSecClass (kSecClassGenericPassword), kSecAttrService (non-empty
    // text), kSecValueData, and optionally kSecAttrAccount, kSecAttrAccess,
    // kSecUseKeychain (absent: the user default) and kSecReturnRef. Any
    // other key or kind of value is errSecParam.
    [[nodiscard]] OSStatus SecItemAdd(const CFDictionary& attributes,
                                      SecKeychainItemRef* result) override;

    [[nodiscard]] OSStatus SecAccessCreate(std::string_view descriptor,
                                           const SecApplicationList& trustedList,
                                           SecAccessRef* accessRef) override;

    [[nodiscard]] OSStatus SecAccessCopyACLList(
        const SecAccessRef& access, std::optional<std::vector<SecACLRef>>* aclList) override;

    [[nodiscard]] OSStatus SecACLCopyContents(const SecACLRef& acl,
                                              SecApplicationList* applicationList,
                                              std::string* description,
                                              std::uint16_t* promptSelector) override;

    [[nodiscard]] std::vector<std::string> SecACLCopyAuthorizations(const SecACLRef& acl) override;

    [[nodiscard]] OSStatus SecACLSetContents(const SecACLRef& acl,
                                             const SecApplicationList& applicationList,
                                             std::string_view description,
                                             std::uint16_t promptSelector) override;

    // A regular file is recorded with the SHA-256 of its contents; a folder
    // is an application bundle recorded by path with an empty digest. A null
    // path is the calling program. A missing path, an empty path or another
    // kind of file is errSecParam; a file that cannot be read is errSecIO.
    [[nodiscard]] OSStatus SecTrustedApplicationCreateFromPath(
        const char* path, SecTrustedApplicationRef* app) override;

    [[nodiscard]] OSStatus SecKeychainItemCopyAccess(const SecKeychainItemRef& item,
                                                     SecAccessRef* access) override;

    [[nodiscard]] OSStatus SecKeychainItemSetAccessWithPassword(const SecKeychainItemRef& item,
                                                                const SecAccessRef& access,
                                                                std::uint32_t passwordLength,
                                                                const void* password) override;

    [[nodiscard]] OSStatus SecRandomCopyBytes(SecRandomRef rnd, std::size_t count,
                                              void* bytes) override;

    // One SQLite transaction on the keychain's connection. While it runs, a
    // domain default that is this keychain file is this same open keychain,
    // so the change's own lookups join it instead of waiting for it. When the
    // keychain cannot be opened, `change` runs as it is and its operations
    // report why.
    [[nodiscard]] bool changeAtomically(const SecKeychainRef& keychain,
                                        const std::function<bool(bool atomic)>& change) override;

    [[nodiscard]] std::optional<std::filesystem::path> keychainFile(
        const SecKeychainRef& keychain) const override;

    // The keychain file a domain's default stands for; nothing when the
    // user's home cannot be found.
    [[nodiscard]] std::optional<std::filesystem::path> defaultKeychainPath(
        SecPreferencesDomain domain) const;

    // Lists the items of an existing keychain file, oldest first, without
    // their secrets. Opens the file read only and needs no key; creates
    // nothing.
    [[nodiscard]] static OSStatus listItems(const std::filesystem::path& keychainPath,
                                            std::vector<KeychainItemInfo>* items);

  private:
    [[nodiscard]] OSStatus selectKeychain(const SecKeychainRef& given, SecKeychainRef* out);
    [[nodiscard]] OSStatus callingProgram(SecTrustedApplicationRef* app);
    [[nodiscard]] OSStatus defaultAccess(std::string_view descriptor,
                                         const SecApplicationList& trustedList,
                                         SecAccessRef* accessRef);

    SqliteKeychainOptions options_;
    std::mutex mutex_;
    SecTrustedApplicationRef callingProgram_;
    // The keychain of the change that changeAtomically() is running.
    SecKeychainRef changing_;
};

// The user keychain path for the real user (getuid) from the user database;
// nothing when the user has no usable home folder.
[[nodiscard]] std::optional<std::filesystem::path> userDefaultKeychainPath();

}  // namespace lockstep
