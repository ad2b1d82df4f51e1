#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/context.h"
#include "platform/directory/local_directory.h"
#include "platform/keychain/keychain.h"
#include "platform/keychain/sqlite_keychain.h"
#include "support/temp_dir.h"

namespace lockstep::testing {

// Forwards every operation to a real keychain service, except the two this
// store calls, whose results a test can force.
class KeychainDouble final : public KeychainService {
  public:
    explicit KeychainDouble(KeychainService& inner) : inner_(inner) {}

    // When set, SecKeychainCopyDomainDefault answers this status and hands
    // back `domainDefaultKeychain` without asking the real service.
    std::optional<OSStatus> domainDefaultStatus;
    SecKeychainRef domainDefaultKeychain;
    // When set, SecRandomCopyBytes fails with this status and writes nothing.
    std::optional<OSStatus> randomFailure;
    int randomCalls = 0;

    OSStatus SecKeychainCopyDomainDefault(SecPreferencesDomain domain,
                                          SecKeychainRef* keychain) override {
        if (domainDefaultStatus.has_value()) {
            *keychain = domainDefaultKeychain;
            return *domainDefaultStatus;
        }
        return inner_.SecKeychainCopyDomainDefault(domain, keychain);
    }
    OSStatus SecRandomCopyBytes(SecRandomRef rnd, std::size_t count, void* bytes) override {
        ++randomCalls;
        if (randomFailure.has_value()) {
            return *randomFailure;
        }
        return inner_.SecRandomCopyBytes(rnd, count, bytes);
    }

    OSStatus SecKeychainFindGenericPassword(const SecKeychainRef& keychain, std::uint32_t sl,
                                            const char* s, std::uint32_t al, const char* a,
                                            std::uint32_t* pl, SecretBytes* pd,
                                            SecKeychainItemRef* item) override {
        return inner_.SecKeychainFindGenericPassword(keychain, sl, s, al, a, pl, pd, item);
    }
    OSStatus SecKeychainItemCopyAttributesAndData(const SecKeychainItemRef& item,
                                                  const SecKeychainAttributeInfo* info,
                                                  SecItemClass* itemClass,
                                                  SecKeychainAttributeList* attrList,
                                                  std::uint32_t* length,
                                                  SecretBytes* outData) override {
        return inner_.SecKeychainItemCopyAttributesAndData(item, info, itemClass, attrList, length,
                                                           outData);
    }
    OSStatus SecKeychainItemDelete(const SecKeychainItemRef& item) override {
        return inner_.SecKeychainItemDelete(item);
    }
    OSStatus SecItemAdd(const CFDictionary& attributes, SecKeychainItemRef* result) override {
        return inner_.SecItemAdd(attributes, result);
    }
    OSStatus SecAccessCreate(std::string_view descriptor, const SecApplicationList& trustedList,
                             SecAccessRef* accessRef) override {
        return inner_.SecAccessCreate(descriptor, trustedList, accessRef);
    }
    OSStatus SecAccessCopyACLList(const SecAccessRef& access,
                                  std::optional<std::vector<SecACLRef>>* aclList) override {
        return inner_.SecAccessCopyACLList(access, aclList);
    }
    OSStatus SecACLCopyContents(const SecACLRef& acl, SecApplicationList* applicationList,
                                std::string* description, std::uint16_t* prompt) override {
        return inner_.SecACLCopyContents(acl, applicationList, description, prompt);
    }
    std::vector<std::string> SecACLCopyAuthorizations(const SecACLRef& acl) override {
        return inner_.SecACLCopyAuthorizations(acl);
    }
    OSStatus SecACLSetContents(const SecACLRef& acl, const SecApplicationList& applicationList,
                               std::string_view description, std::uint16_t prompt) override {
        return inner_.SecACLSetContents(acl, applicationList, description, prompt);
    }
    OSStatus SecTrustedApplicationCreateFromPath(const char* path,
                                                 SecTrustedApplicationRef* app) override {
        return inner_.SecTrustedApplicationCreateFromPath(path, app);
    }
    OSStatus SecKeychainItemCopyAccess(const SecKeychainItemRef& item,
                                       SecAccessRef* access) override {
        return inner_.SecKeychainItemCopyAccess(item, access);
    }
    OSStatus SecKeychainItemSetAccessWithPassword(const SecKeychainItemRef& item,
                                                  const SecAccessRef& access,
                                                  std::uint32_t passwordLength,
                                                  const void* password) override {
        return inner_.SecKeychainItemSetAccessWithPassword(item, access, passwordLength, password);
    }

  private:
    KeychainService& inner_;
};

inline constexpr std::string_view kTestSerial = "4c4c4544004d3510804bc4c04f4e3732";

// A real keychain service and local directory on a temporary folder, a
// machine root whose etc/machine-id gives the serial number, and a context
// over them whose keychain is a KeychainDouble (passing everything through
// until a test forces a result).
class SecretsTest : public ::testing::Test {
  protected:
    SecretsTest() { setSerial(kTestSerial); }

    // Writes the machine's serial number (its machine ID).
    void setSerial(std::string_view serial) {
        writeFile(machineRoot() / "etc/machine-id", std::string(serial) + "\n");
    }
    // Leaves the machine without any serial number source.
    void removeSerial() { std::filesystem::remove(machineRoot() / "etc/machine-id"); }

    [[nodiscard]] std::filesystem::path machineRoot() const { return temp / "machine"; }

    static SqliteKeychainOptions keychainOptions(const TempDir& folder) {
        SqliteKeychainOptions options;
        options.systemKeychainPath = folder / "keychains/System.keychain";
        options.userKeychainPath = folder / "keychains/login.keychain";
        return options;
    }
    Context makeContext() {
        return Context{keychain, directory, "/usr/bin/fdesetup", temp.path(), machineRoot()};
    }

    TempDir temp;
    SqliteKeychainService realKeychain{keychainOptions(temp)};
    KeychainDouble keychain{realKeychain};
    LocalDirectoryService directory{temp / "directory"};
    Context ctx = makeContext();
};

}  // namespace lockstep::testing
