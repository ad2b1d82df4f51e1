#pragma once

#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "platform/directory/directory.h"
#include "platform/keychain/keychain.h"

namespace lockstep::testing {

// Wraps a real keychain service and forwards every operation to it, except
// those switched to fail: the failures the real service cannot be made to
// produce. Also records what some operations were handed.
class FaultyKeychainService final : public KeychainService {
  public:
    explicit FaultyKeychainService(KeychainService& real) : real_(real) {}

    // --- switches ---
    // SecKeychainCopyDomainDefault gives this status (and no keychain).
    std::optional<OSStatus> domainDefaultStatus;
    // SecKeychainCopyDomainDefault succeeds with no keychain.
    bool domainDefaultGivesNull = false;
    // The next `itemAddFailures` SecItemAdd calls fail with `itemAddStatus`
    // (-1: every call).
    int itemAddFailures = 0;
    OSStatus itemAddStatus = errSecDiskFull;
    // The next `itemAddThrows` SecItemAdd calls throw, as an allocation
    // failure deep inside would.
    int itemAddThrows = 0;
    // SecItemAdd succeeds without handing back the item.
    bool itemAddGivesNoItem = false;
    // SecAccessCreate gives no access object.
    bool accessCreateGivesNothing = false;
    // SecAccessCreate gives this access object instead of a new one.
    SecAccessRef accessCreateOverride;
    // SecAccessCopyACLList gives no list.
    bool copyACLListGivesNothing = false;
    // SecKeychainItemCopyAccess fails with this status and gives no access.
    std::optional<OSStatus> itemCopyAccessStatus;
    // SecKeychainItemCopyAccess gives this access object instead of the
    // item's own.
    SecAccessRef itemAccessOverride;
    // SecACLCopyContents fails with this status.
    std::optional<OSStatus> aclCopyContentsStatus;
    // SecACLSetContents fails with this status without changing the entry.
    std::optional<OSStatus> aclSetContentsStatus;
    // SecKeychainItemSetAccessWithPassword fails with this status.
    std::optional<OSStatus> setAccessStatus;
    // SecTrustedApplicationCreateFromPath fails with this status.
    std::optional<OSStatus> createFromPathStatus;

    // --- records ---
    std::vector<std::string> trustedPaths;  // paths handed to CreateFromPath
    std::vector<std::uint32_t> setAccessPasswordLengths;
    int itemAddCalls = 0;
    int deleteCalls = 0;
    int setAccessCalls = 0;

    OSStatus SecKeychainCopyDomainDefault(SecPreferencesDomain domain,
                                          SecKeychainRef* keychain) override {
        if (domainDefaultStatus) {
            return *domainDefaultStatus;
        }
        if (domainDefaultGivesNull) {
            *keychain = nullptr;
            return errSecSuccess;
        }
        return real_.SecKeychainCopyDomainDefault(domain, keychain);
    }

    OSStatus SecKeychainFindGenericPassword(
        const SecKeychainRef& keychain, std::uint32_t serviceNameLength, const char* serviceName,
        std::uint32_t accountNameLength, const char* accountName, std::uint32_t* passwordLength,
        SecretBytes* passwordData, SecKeychainItemRef* itemRef) override {
        return real_.SecKeychainFindGenericPassword(keychain, serviceNameLength, serviceName,
                                                    accountNameLength, accountName, passwordLength,
                                                    passwordData, itemRef);
    }

    OSStatus SecKeychainItemCopyAttributesAndData(const SecKeychainItemRef& item,
                                                  const SecKeychainAttributeInfo* info,
                                                  SecItemClass* itemClass,
                                                  SecKeychainAttributeList* attrList,
                                                  std::uint32_t* length,
                                                  SecretBytes* outData) override {
        return real_.SecKeychainItemCopyAttributesAndData(item, info, itemClass, attrList, length,
                                                          outData);
    }

    OSStatus SecKeychainItemDelete(const SecKeychainItemRef& item) override {
        ++deleteCalls;
        return real_.SecKeychainItemDelete(item);
    }

    OSStatus SecItemAdd(const CFDictionary& attributes, SecKeychainItemRef* result) override {
        ++itemAddCalls;
        if (itemAddThrows > 0) {
            --itemAddThrows;
            throw std::bad_alloc();
        }
        if (itemAddFailures != 0) {
            if (itemAddFailures > 0) {
                --itemAddFailures;
            }
            return itemAddStatus;
        }
        const OSStatus status = real_.SecItemAdd(attributes, result);
        if (itemAddGivesNoItem && result != nullptr) {
            *result = nullptr;
        }
        return status;
    }

    OSStatus SecAccessCreate(std::string_view descriptor, const SecApplicationList& trustedList,
                             SecAccessRef* accessRef) override {
        if (accessCreateGivesNothing) {
            *accessRef = nullptr;
            return errSecAllocate;
        }
        if (accessCreateOverride != nullptr) {
            *accessRef = accessCreateOverride;
            return errSecSuccess;
        }
        return real_.SecAccessCreate(descriptor, trustedList, accessRef);
    }

    OSStatus SecAccessCopyACLList(const SecAccessRef& access,
                                  std::optional<std::vector<SecACLRef>>* aclList) override {
        if (copyACLListGivesNothing) {
            *aclList = std::nullopt;
            return errSecInvalidACL;
        }
        return real_.SecAccessCopyACLList(access, aclList);
    }

    OSStatus SecACLCopyContents(const SecACLRef& acl, SecApplicationList* applicationList,
                                std::string* description, std::uint16_t* promptSelector) override {
        if (aclCopyContentsStatus) {
            return *aclCopyContentsStatus;
        }
        return real_.SecACLCopyContents(acl, applicationList, description, promptSelector);
    }

    std::vector<std::string> SecACLCopyAuthorizations(const SecACLRef& acl) override {
        return real_.SecACLCopyAuthorizations(acl);
    }

    OSStatus SecACLSetContents(const SecACLRef& acl, const SecApplicationList& applicationList,
                               std::string_view description,
                               std::uint16_t promptSelector) override {
        if (aclSetContentsStatus) {
            return *aclSetContentsStatus;
        }
        return real_.SecACLSetContents(acl, applicationList, description, promptSelector);
    }

    OSStatus SecTrustedApplicationCreateFromPath(const char* path,
                                                 SecTrustedApplicationRef* app) override {
        trustedPaths.emplace_back(path == nullptr ? "(null)" : path);
        if (createFromPathStatus) {
            return *createFromPathStatus;
        }
        return real_.SecTrustedApplicationCreateFromPath(path, app);
    }

    OSStatus SecKeychainItemCopyAccess(const SecKeychainItemRef& item,
                                       SecAccessRef* access) override {
        if (itemCopyAccessStatus) {
            *access = nullptr;
            return *itemCopyAccessStatus;
        }
        if (itemAccessOverride != nullptr) {
            *access = itemAccessOverride;
            return errSecSuccess;
        }
        return real_.SecKeychainItemCopyAccess(item, access);
    }

    OSStatus SecKeychainItemSetAccessWithPassword(const SecKeychainItemRef& item,
                                                  const SecAccessRef& access,
                                                  std::uint32_t passwordLength,
                                                  const void* password) override {
        ++setAccessCalls;
        setAccessPasswordLengths.push_back(passwordLength);
        if (setAccessStatus) {
            return *setAccessStatus;
        }
        return real_.SecKeychainItemSetAccessWithPassword(item, access, passwordLength, password);
    }

    OSStatus SecRandomCopyBytes(SecRandomRef rnd, std::size_t count, void* bytes) override {
        return real_.SecRandomCopyBytes(rnd, count, bytes);
    }

  private:
    KeychainService& real_;
};

// The keychain code never reaches the directory; Context still needs one.
class UnusedDirectoryService final : public DirectoryService {
  public:
    ODSessionRef ODSessionDefaultSession() override { return nullptr; }
    ODNodeRef ODNodeInitWithSession(const ODSessionRef&, ODNodeType,
                                    std::optional<ODError>*) override {
        return nullptr;
    }
    ODQueryRef ODQueryInitWithNode(const ODNodeRef&, std::string_view, std::string_view,
                                   ODMatchType, const std::vector<std::string>&, std::string_view,
                                   std::int64_t, std::optional<ODError>*) override {
        return nullptr;
    }
    std::optional<std::vector<ODRecordRef>> resultsAllowingPartial(
        const ODQueryRef&, bool, std::optional<ODError>*) override {
        return std::nullopt;
    }
    bool verifyPassword(const ODRecordRef&, std::string_view, std::optional<ODError>*) override {
        return false;
    }
    std::optional<std::vector<ODValue>> valuesForAttribute(const ODRecordRef&, std::string_view,
                                                           std::optional<ODError>*) override {
        return std::nullopt;
    }
    std::string recordName(const ODRecordRef&) override { return {}; }
    bool isMemberRecord(const ODRecordRef&, const ODRecordRef&, std::optional<ODError>*) override {
        return false;
    }
    bool addMemberRecord(const ODRecordRef&, const ODRecordRef&, std::optional<ODError>*) override {
        return false;
    }
    bool removeMemberRecord(const ODRecordRef&, const ODRecordRef&,
                            std::optional<ODError>*) override {
        return false;
    }
    bool setValueForAttribute(const ODRecordRef&, const ODValue&, std::string_view,
                              std::optional<ODError>*) override {
        return false;
    }
};

}  // namespace lockstep::testing
