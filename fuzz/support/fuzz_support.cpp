#include "support/fuzz_support.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <system_error>

#include "log/log.h"
#include "log/unified_logger.h"
#include "platform/system_log.h"
#include "platform/user_defaults.h"

namespace lockstep::fuzz {

namespace {

// Takes every message and keeps none.
class DiscardingSystemLog final : public SystemLog {
  public:
    [[nodiscard]] bool isEnabled(LogType /*type*/) const override { return false; }
    void write(LogType /*type*/, std::string_view /*message*/) override {}
};

// A folder of this process under the temporary directory, removed at exit by
// the process that made it (a forked child leaves it to its parent).
class PrivateFolder {
  public:
    PrivateFolder() : owner_(::getpid()) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "lockstep-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            fail("cannot make the fuzz run's temporary folder");
        }
        path_ = pattern;
    }
    ~PrivateFolder() {
        if (::getpid() == owner_) {
            std::error_code ignored;
            std::filesystem::remove_all(path_, ignored);
        }
    }
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

  private:
    pid_t owner_;
    std::filesystem::path path_;
};

LoggerEnvironment quietEnvironment(const std::filesystem::path& root) {
    LoggerEnvironment environment;
    environment.now = [] { return LoggerEnvironment::Clock::now(); };
    environment.loadUserDefaults = [] { return UserDefaults(); };
    environment.root = root;
    environment.realUserID = [] { return std::uint32_t{0}; };
    environment.homeFolderForUser = [](std::uint32_t) -> std::optional<std::string> {
        return "/home/fuzz";
    };
    environment.processName = "lockstep-fuzz";
    environment.processID = ::getpid();
    environment.writeStandardError = [](std::string_view) {};
    environment.writeStandardOutput = [](std::string_view) {};
    return environment;
}

// Everything environment() sets up, in the order it is needed and torn down.
class Environment {
  public:
    Environment()
        : logger_(quietEnvironment(folder_.path())),
          systemLogScope_(systemLog_),
          loggerScope_(logger_) {
        // Debug lines are dropped before they reach the file; errors and
        // information still go to the log file inside the private folder.
        logger_.setSuppressDebug(true);
        logger_.updateLogPath();
    }

    [[nodiscard]] const std::filesystem::path& folder() const { return folder_.path(); }

  private:
    PrivateFolder folder_;
    DiscardingSystemLog systemLog_;
    MDLUnifiedLogger logger_;
    ScopedSystemLog systemLogScope_;
    ScopedSharedLogger loggerScope_;
};

}  // namespace

const std::filesystem::path& environment() {
    static const Environment instance;
    return instance.folder();
}

void fail(std::string_view what) {
    std::fprintf(stderr, "fuzz check failed: %.*s\n", static_cast<int>(what.size()), what.data());
    std::fflush(stderr);
    std::abort();
}

std::vector<std::string> splitAtNul(std::string_view text) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t nul = text.find('\0', start);
        if (nul == std::string_view::npos) {
            parts.emplace_back(text.substr(start));
            return parts;
        }
        parts.emplace_back(text.substr(start, nul - start));
        start = nul + 1;
    }
}

// ---------------------------------------------------------------------------
// StubKeychain

OSStatus StubKeychain::SecKeychainCopyDomainDefault(SecPreferencesDomain /*domain*/,
                                                    SecKeychainRef* keychain) {
    *keychain = nullptr;
    return errSecNoSuchKeychain;
}
OSStatus StubKeychain::SecKeychainFindGenericPassword(
    const SecKeychainRef& /*keychain*/, std::uint32_t /*serviceNameLength*/,
    const char* /*serviceName*/, std::uint32_t /*accountNameLength*/, const char* /*accountName*/,
    std::uint32_t* /*passwordLength*/, SecretBytes* /*passwordData*/,
    SecKeychainItemRef* /*itemRef*/) {
    return errSecItemNotFound;
}
OSStatus StubKeychain::SecKeychainItemCopyAttributesAndData(
    const SecKeychainItemRef& /*item*/, const SecKeychainAttributeInfo* /*info*/,
    SecItemClass* /*itemClass*/, SecKeychainAttributeList* /*attrList*/, std::uint32_t* /*length*/,
    SecretBytes* /*outData*/) {
    return errSecNotAvailable;
}
OSStatus StubKeychain::SecKeychainItemDelete(const SecKeychainItemRef& /*item*/) {
    return errSecNotAvailable;
}
OSStatus StubKeychain::SecItemAdd(const CFDictionary& /*attributes*/,
                                  SecKeychainItemRef* /*result*/) {
    return errSecNotAvailable;
}
OSStatus StubKeychain::SecAccessCreate(std::string_view /*descriptor*/,
                                       const SecApplicationList& /*trustedList*/,
                                       SecAccessRef* accessRef) {
    *accessRef = nullptr;
    return errSecNotAvailable;
}
OSStatus StubKeychain::SecAccessCopyACLList(const SecAccessRef& access,
                                            std::optional<std::vector<SecACLRef>>* aclList) {
    if (access == nullptr) {
        *aclList = std::nullopt;
        return errSecParam;
    }
    *aclList = access->acls;
    return errSecSuccess;
}
OSStatus StubKeychain::SecACLCopyContents(const SecACLRef& acl, SecApplicationList* applicationList,
                                          std::string* description, std::uint16_t* promptSelector) {
    if (acl == nullptr) {
        return errSecParam;
    }
    *applicationList = acl->applications;
    *description = acl->description;
    *promptSelector = acl->promptSelector;
    return errSecSuccess;
}
std::vector<std::string> StubKeychain::SecACLCopyAuthorizations(const SecACLRef& acl) {
    return acl == nullptr ? std::vector<std::string>() : acl->authorizations;
}
OSStatus StubKeychain::SecACLSetContents(const SecACLRef& acl,
                                         const SecApplicationList& applicationList,
                                         std::string_view description,
                                         std::uint16_t promptSelector) {
    if (acl == nullptr) {
        return errSecParam;
    }
    acl->applications = applicationList;
    acl->description = std::string(description);
    acl->promptSelector = promptSelector;
    return errSecSuccess;
}
OSStatus StubKeychain::SecTrustedApplicationCreateFromPath(const char* /*path*/,
                                                           SecTrustedApplicationRef* app) {
    *app = nullptr;
    return errSecNotAvailable;
}
OSStatus StubKeychain::SecKeychainItemCopyAccess(const SecKeychainItemRef& /*item*/,
                                                 SecAccessRef* access) {
    *access = nullptr;
    return errSecNotAvailable;
}
OSStatus StubKeychain::SecKeychainItemSetAccessWithPassword(const SecKeychainItemRef& /*item*/,
                                                            const SecAccessRef& /*access*/,
                                                            std::uint32_t /*passwordLength*/,
                                                            const void* /*password*/) {
    return errSecSuccess;
}
OSStatus StubKeychain::SecRandomCopyBytes(SecRandomRef /*rnd*/, std::size_t count, void* bytes) {
    if (count > 0 && bytes == nullptr) {
        return errSecParam;
    }
    auto* out = static_cast<std::uint8_t*>(bytes);
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = next_++;
    }
    return errSecSuccess;
}

// ---------------------------------------------------------------------------
// StubDirectory

namespace {
void refuse(std::optional<ODError>* error) {
    if (error != nullptr) {
        *error = ODError(kODErrorNodeUnknownName, "no directory in fuzz runs");
    }
}
}  // namespace

ODNodeRef StubDirectory::ODNodeInitWithSession(const ODSessionRef& /*session*/, ODNodeType /*type*/,
                                               std::optional<ODError>* error) {
    refuse(error);
    return nullptr;
}
ODQueryRef StubDirectory::ODQueryInitWithNode(
    const ODNodeRef& /*node*/, std::string_view /*recordType*/, std::string_view /*attribute*/,
    ODMatchType /*matchType*/, const std::vector<std::string>& /*queryValues*/,
    std::string_view /*returnAttributes*/, std::int64_t /*maximumResults*/,
    std::optional<ODError>* error) {
    refuse(error);
    return nullptr;
}
std::optional<std::vector<ODRecordRef>> StubDirectory::resultsAllowingPartial(
    const ODQueryRef& /*query*/, bool /*allowPartial*/, std::optional<ODError>* error) {
    refuse(error);
    return std::nullopt;
}
bool StubDirectory::verifyPassword(const ODRecordRef& /*record*/, std::string_view /*password*/,
                                   std::optional<ODError>* error) {
    refuse(error);
    return false;
}
std::optional<std::vector<ODValue>> StubDirectory::valuesForAttribute(
    const ODRecordRef& /*record*/, std::string_view /*attribute*/, std::optional<ODError>* error) {
    refuse(error);
    return std::nullopt;
}
std::string StubDirectory::recordName(const ODRecordRef& record) {
    return record == nullptr ? std::string() : record->recordName();
}
bool StubDirectory::isMemberRecord(const ODRecordRef& /*group*/, const ODRecordRef& /*member*/,
                                   std::optional<ODError>* error) {
    refuse(error);
    return false;
}
bool StubDirectory::addMemberRecord(const ODRecordRef& /*group*/, const ODRecordRef& /*member*/,
                                    std::optional<ODError>* error) {
    refuse(error);
    return false;
}
bool StubDirectory::removeMemberRecord(const ODRecordRef& /*group*/, const ODRecordRef& /*member*/,
                                       std::optional<ODError>* error) {
    refuse(error);
    return false;
}
bool StubDirectory::setValueForAttribute(const ODRecordRef& /*record*/, const ODValue& /*value*/,
                                         std::string_view /*attribute*/,
                                         std::optional<ODError>* error) {
    refuse(error);
    return false;
}

}  // namespace lockstep::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static_cast<void>(lockstep::fuzz::environment());
    lockstep::fuzz::fuzzOne(data, size);
    return 0;
}
