#pragma once

#include <map>
#include <new>
#include <string>
#include <vector>

#include "platform/keychain/keychain.h"

namespace lockstep::testing {

// Forwards every operation to a real keychain service, except those a test
// makes fail: the failures the real service cannot be made to produce.
// Counts the calls of each operation by name.
class FaultyKeychainService final : public KeychainService {
  public:
    explicit FaultyKeychainService(KeychainService& real) : real_(real) {}

    struct Fault {
        OSStatus status = errSecSuccess;  // answered instead of the real result
        int times = 1 << 30;              // how many calls fail
        bool throws = false;              // throws std::bad_alloc instead
        bool callThrough = false;         // the real call runs, its status replaced
    };
    std::map<std::string, Fault, std::less<>> faults;
    std::map<std::string, int, std::less<>> calls;
    // When set, SecAccessCreate gives this access object instead of a new one.
    SecAccessRef newAccess;
    // The password lengths SecKeychainItemSetAccessWithPassword was handed.
    std::vector<std::uint32_t> setAccessLengths;

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
    [[nodiscard]] std::optional<std::filesystem::path> keychainFile(
        const SecKeychainRef& keychain) const override {
        return real_.keychainFile(keychain);
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
        if (fault->second.callThrough) {
            (void)call();
        }
        return fault->second.status;
    }

    KeychainService& real_;
};

}  // namespace lockstep::testing
