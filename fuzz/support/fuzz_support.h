#pragma once

// What the fuzz targets share: a private folder, logging that stays inside it,
// stand-in platform services, and a check that stops the run on a broken
// invariant (the fuzzer reports the input that broke it).

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bytes.h"
#include "platform/directory/directory.h"
#include "platform/keychain/keychain.h"

// The entry point that libFuzzer or replay_main.cpp calls once per input,
// defined once for every target in fuzz_support.cpp: it makes environment()
// and hands the input to the target's fuzzOne.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace lockstep::fuzz {

// What each target defines: one run on one input, stopping on a broken
// invariant through check() or fail().
void fuzzOne(const std::uint8_t* data, std::size_t size);

// Made on first use and kept until exit: a temporary folder of this process
// (removed at exit), a system log that discards everything and a file logger
// whose log file lies inside the folder and which echoes nothing. Every target
// calls it before the code under test, so no input reaches the machine's
// syslog, log folder or standard error through the log calls.
const std::filesystem::path& environment();

// Prints `what` to standard error and aborts, so the fuzzer keeps the input.
[[noreturn]] void fail(std::string_view what);

inline void check(bool condition, std::string_view what) {
    if (!condition) {
        fail(what);
    }
}

// The input as bytes and as text.
inline Bytes bytesOf(const std::uint8_t* data, std::size_t size) {
    return size == 0 ? Bytes() : Bytes(data, data + size);
}
inline std::string_view textOf(const std::uint8_t* data, std::size_t size) {
    return size == 0 ? std::string_view()
                     : std::string_view(reinterpret_cast<const char*>(data), size);
}

// The input cut at every NUL byte: the usual way the targets read a list of
// texts (arguments, fields) from one input.
std::vector<std::string> splitAtNul(std::string_view text);

// A keychain that holds nothing: lookups find nothing, changes fail, access
// objects and ACLs are read and written in memory, and the random generator
// counts (so a finding replays the same). Targets override what they need.
class StubKeychain : public KeychainService {
  public:
    OSStatus SecKeychainCopyDomainDefault(SecPreferencesDomain domain,
                                          SecKeychainRef* keychain) override;
    OSStatus SecKeychainFindGenericPassword(
        const SecKeychainRef& keychain, std::uint32_t serviceNameLength, const char* serviceName,
        std::uint32_t accountNameLength, const char* accountName, std::uint32_t* passwordLength,
        SecretBytes* passwordData, SecKeychainItemRef* itemRef) override;
    OSStatus SecKeychainItemCopyAttributesAndData(const SecKeychainItemRef& item,
                                                  const SecKeychainAttributeInfo* info,
                                                  SecItemClass* itemClass,
                                                  SecKeychainAttributeList* attrList,
                                                  std::uint32_t* length,
                                                  SecretBytes* outData) override;
    OSStatus SecKeychainItemDelete(const SecKeychainItemRef& item) override;
    OSStatus SecItemAdd(const CFDictionary& attributes, SecKeychainItemRef* result) override;
    OSStatus SecAccessCreate(std::string_view descriptor, const SecApplicationList& trustedList,
                             SecAccessRef* accessRef) override;
    OSStatus SecAccessCopyACLList(const SecAccessRef& access,
                                  std::optional<std::vector<SecACLRef>>* aclList) override;
    OSStatus SecACLCopyContents(const SecACLRef& acl, SecApplicationList* applicationList,
                                std::string* description, std::uint16_t* promptSelector) override;
    std::vector<std::string> SecACLCopyAuthorizations(const SecACLRef& acl) override;
    OSStatus SecACLSetContents(const SecACLRef& acl, const SecApplicationList& applicationList,
                               std::string_view description, std::uint16_t promptSelector) override;
    OSStatus SecTrustedApplicationCreateFromPath(const char* path,
                                                 SecTrustedApplicationRef* app) override;
    OSStatus SecKeychainItemCopyAccess(const SecKeychainItemRef& item,
                                       SecAccessRef* access) override;
    OSStatus SecKeychainItemSetAccessWithPassword(const SecKeychainItemRef& item,
                                                  const SecAccessRef& access,
                                                  std::uint32_t passwordLength,
                                                  const void* password) override;
    // Fills with a counter-based pattern; never fails.
    OSStatus SecRandomCopyBytes(SecRandomRef rnd, std::size_t count, void* bytes) override;

  private:
    std::uint8_t next_ = 0;
};

// A directory service that has nothing and refuses every change.
class StubDirectory final : public DirectoryService {
  public:
    ODSessionRef ODSessionDefaultSession() override { return nullptr; }
    ODNodeRef ODNodeInitWithSession(const ODSessionRef& session, ODNodeType type,
                                    std::optional<ODError>* error) override;
    ODQueryRef ODQueryInitWithNode(const ODNodeRef& node, std::string_view recordType,
                                   std::string_view attribute, ODMatchType matchType,
                                   const std::vector<std::string>& queryValues,
                                   std::string_view returnAttributes, std::int64_t maximumResults,
                                   std::optional<ODError>* error) override;
    std::optional<std::vector<ODRecordRef>> resultsAllowingPartial(
        const ODQueryRef& query, bool allowPartial, std::optional<ODError>* error) override;
    bool verifyPassword(const ODRecordRef& record, std::string_view password,
                        std::optional<ODError>* error) override;
    std::optional<std::vector<ODValue>> valuesForAttribute(const ODRecordRef& record,
                                                           std::string_view attribute,
                                                           std::optional<ODError>* error) override;
    std::string recordName(const ODRecordRef& record) override;
    bool isMemberRecord(const ODRecordRef& group, const ODRecordRef& member,
                        std::optional<ODError>* error) override;
    bool addMemberRecord(const ODRecordRef& group, const ODRecordRef& member,
                         std::optional<ODError>* error) override;
    bool removeMemberRecord(const ODRecordRef& group, const ODRecordRef& member,
                            std::optional<ODError>* error) override;
    bool setValueForAttribute(const ODRecordRef& record, const ODValue& value,
                              std::string_view attribute, std::optional<ODError>* error) override;
};

}  // namespace lockstep::fuzz
