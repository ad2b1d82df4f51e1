#include "platform/keychain/sqlite_keychain.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>

#include "platform/keychain/acl_codec.h"
#include "platform/keychain/keychain_crypto.h"
#include "platform/keychain/keychain_store.h"
#include "platform/scoped_fd.h"

namespace lockstep {

namespace {

using keychain_internal::NewItem;
using keychain_internal::StoredItem;

// Limits on what one item may hold: far above any credential, low enough
// that every length fits the 32-bit fields of the lookups.
constexpr std::size_t kMaxAttributeBytes = std::size_t{64} * 1024;
constexpr std::size_t kMaxSecretBytes = std::size_t{1024} * 1024;

// The authorizations of the ACL that guards use of the secret.
const std::vector<std::string>& useAuthorizations() {
    static const std::vector<std::string> kTags = {
        std::string(kACLAuthorizationDecrypt),     std::string(kACLAuthorizationDerive),
        std::string(kACLAuthorizationExportClear), std::string(kACLAuthorizationExportWrapped),
        std::string(kACLAuthorizationMAC),         std::string(kACLAuthorizationSign),
    };
    return kTags;
}

bool hasAuthorization(const SecACL& acl, std::string_view tag) {
    return std::find(acl.authorizations.begin(), acl.authorizations.end(), tag) !=
           acl.authorizations.end();
}

bool validApplications(const SecApplicationList& list) {
    return !list || std::none_of(list->begin(), list->end(),
                                 [](const SecTrustedApplicationRef& app) { return !app; });
}

std::chrono::system_clock::time_point fromMicros(std::int64_t micros) {
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::microseconds(micros)));
}

// Reads one entry of the add query as the given kind. Gives errSecParam for
// a present entry of another kind; leaves `out` alone when absent.
template <typename T>
OSStatus queryValue(const CFDictionary& query, std::string_view key, std::optional<T>* out) {
    const auto found = query.find(key);
    if (found == query.end()) {
        return errSecSuccess;
    }
    const T* value = std::get_if<T>(&found->second);
    if (value == nullptr) {
        return errSecParam;
    }
    *out = *value;
    return errSecSuccess;
}

}  // namespace

std::optional<std::filesystem::path> userDefaultKeychainPath() {
    long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::size_t size = suggested > 0 ? static_cast<std::size_t>(suggested) : 16384U;
    for (;;) {
        std::vector<char> buffer(size);
        struct passwd entry {};
        struct passwd* result = nullptr;
        const int error = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result);
        if (error == ERANGE && size < std::size_t{1024} * 1024) {
            size *= 2;
            continue;
        }
        if (error != 0 || result == nullptr || result->pw_dir == nullptr) {
            return std::nullopt;
        }
        const std::filesystem::path home(result->pw_dir);
        if (!home.is_absolute()) {
            return std::nullopt;
        }
        return home / kUserKeychainRelativePath;
    }
}

SqliteKeychainService::SqliteKeychainService(SqliteKeychainOptions options)
    : options_(std::move(options)) {}

SqliteKeychainService::~SqliteKeychainService() = default;

std::optional<std::filesystem::path> SqliteKeychainService::defaultKeychainPath(
    SecPreferencesDomain domain) const {
    if (domain == kSecPreferencesDomainSystem) {
        return options_.systemKeychainPath;
    }
    if (domain == kSecPreferencesDomainUser) {
        return options_.userKeychainPath ? options_.userKeychainPath : userDefaultKeychainPath();
    }
    return std::nullopt;
}

std::optional<std::filesystem::path> SqliteKeychainService::keychainFile(
    const SecKeychainRef& keychain) const {
    if (keychain) {
        return keychain->path();
    }
    return defaultKeychainPath(kSecPreferencesDomainUser);
}

OSStatus SqliteKeychainService::SecKeychainCopyDomainDefault(SecPreferencesDomain domain,
                                                             SecKeychainRef* keychain) {
    if (keychain == nullptr ||
        (domain != kSecPreferencesDomainUser && domain != kSecPreferencesDomainSystem)) {
        return errSecParam;
    }
    const auto path = defaultKeychainPath(domain);
    if (!path || path->empty()) {
        return errSecNoSuchKeychain;
    }
    {
        const std::lock_guard lock(mutex_);
        if (changing_ && changing_->path() == *path) {
            *keychain = changing_;
            return errSecSuccess;
        }
    }
    // Read only: obtaining a keychain changes nothing; the first store
    // creates one that does not exist yet.
    SecKeychainRef opened;
    const OSStatus status = SecKeychain::openForLookup(*path, &opened);
    if (status == errSecSuccess) {
        *keychain = std::move(opened);
    }
    return status;
}

OSStatus SqliteKeychainService::selectKeychain(const SecKeychainRef& given, SecKeychainRef* out) {
    if (given) {
        *out = given;
        return errSecSuccess;
    }
    return SecKeychainCopyDomainDefault(kSecPreferencesDomainUser, out);
}

OSStatus SqliteKeychainService::SecKeychainFindGenericPassword(
    const SecKeychainRef& keychain, std::uint32_t serviceNameLength, const char* serviceName,
    std::uint32_t accountNameLength, const char* accountName, std::uint32_t* passwordLength,
    SecretBytes* passwordData, SecKeychainItemRef* itemRef) {
    if (serviceNameLength == 0 || serviceName == nullptr ||
        (accountNameLength > 0 && accountName == nullptr)) {
        return errSecParam;
    }
    SecKeychainRef selected;
    if (const OSStatus status = selectKeychain(keychain, &selected); status != errSecSuccess) {
        return status;
    }
    const Bytes service(serviceName, serviceName + serviceNameLength);
    std::optional<Bytes> account;
    if (accountNameLength > 0) {
        account = Bytes(accountName, accountName + accountNameLength);
    }
    StoredItem item;
    if (const OSStatus status = selected->find(service, account, &item); status != errSecSuccess) {
        return status;
    }
    // Every output is filled only once the whole lookup has succeeded.
    SecretBytes secret;
    if (passwordLength != nullptr || passwordData != nullptr) {
        if (const OSStatus status = selected->openSecret(item, &secret); status != errSecSuccess) {
            return status;
        }
    }
    if (passwordLength != nullptr) {
        *passwordLength = static_cast<std::uint32_t>(secret.size());
    }
    if (passwordData != nullptr) {
        *passwordData = std::move(secret);
    }
    if (itemRef != nullptr) {
        *itemRef = std::make_shared<SecKeychainItem>(selected, item.id);
    }
    return errSecSuccess;
}

OSStatus SqliteKeychainService::SecKeychainItemCopyAttributesAndData(
    const SecKeychainItemRef& item, const SecKeychainAttributeInfo* info, SecItemClass* itemClass,
    SecKeychainAttributeList* attrList, std::uint32_t* length, SecretBytes* outData) {
    if (!item) {
        return errSecParam;
    }
    StoredItem stored;
    if (const OSStatus status = item->keychain()->read(item->id(), &stored);
        status != errSecSuccess) {
        return status;
    }
    SecKeychainAttributeList attributes;
    if (info != nullptr) {
        for (const std::uint32_t tag : info->tags) {
            if (tag == kSecAccountItemAttr) {
                attributes.push_back({tag, stored.account});
            } else if (tag == kSecServiceItemAttr) {
                attributes.push_back({tag, stored.service});
            } else {
                return errSecNoSuchAttr;
            }
        }
    }
    SecretBytes secret;
    if (length != nullptr || outData != nullptr) {
        if (const OSStatus status = item->keychain()->openSecret(stored, &secret);
            status != errSecSuccess) {
            return status;
        }
    }
    if (itemClass != nullptr) {
        *itemClass = kSecGenericPasswordItemClass;
    }
    if (attrList != nullptr) {
        *attrList = std::move(attributes);
    }
    if (length != nullptr) {
        *length = static_cast<std::uint32_t>(secret.size());
    }
    if (outData != nullptr) {
        *outData = std::move(secret);
    }
    return errSecSuccess;
}

OSStatus SqliteKeychainService::SecKeychainItemDelete(const SecKeychainItemRef& item) {
    if (!item) {
        return errSecParam;
    }
    return item->keychain()->remove(item->id());
}

OSStatus SqliteKeychainService::SecItemAdd(const CFDictionary& attributes,
                                           SecKeychainItemRef* result) {
    static constexpr std::string_view kKnownKeys[] = {
        kSecClass,      kSecAttrAccount, kSecAttrService, kSecValueData,
        kSecAttrAccess, kSecUseKeychain, kSecReturnRef,
    };
    for (const auto& entry : attributes) {
        if (std::find(std::begin(kKnownKeys), std::end(kKnownKeys), entry.first) ==
            std::end(kKnownKeys)) {
            return errSecParam;
        }
    }
    std::optional<std::string> itemClass;
    std::optional<std::string> service;
    std::optional<std::string> account;
    std::optional<SecretBytes> data;
    std::optional<SecAccessRef> access;
    std::optional<SecKeychainRef> keychain;
    std::optional<bool> returnRef;
    for (const OSStatus status : {
             queryValue(attributes, kSecClass, &itemClass),
             queryValue(attributes, kSecAttrService, &service),
             queryValue(attributes, kSecAttrAccount, &account),
             queryValue(attributes, kSecValueData, &data),
             queryValue(attributes, kSecAttrAccess, &access),
             queryValue(attributes, kSecUseKeychain, &keychain),
             queryValue(attributes, kSecReturnRef, &returnRef),
         }) {
        if (status != errSecSuccess) {
            return status;
        }
    }
    if (itemClass != kSecClassGenericPassword || !service || service->empty() || !data ||
        (access && !*access) || (keychain && !*keychain)) {
        return errSecParam;
    }
    if (service->size() > kMaxAttributeBytes || (account && account->size() > kMaxAttributeBytes) ||
        data->size() > kMaxSecretBytes) {
        return errSecDataTooLarge;
    }

    // The item's ACL list: the given access, or the default one named after
    // the service, followed by the creating program's partition.
    std::vector<SecACLRef> acls;
    if (access) {
        acls = (*access)->acls;
    } else {
        SecAccessRef created;
        if (const OSStatus status = defaultAccess(*service, std::nullopt, &created);
            status != errSecSuccess) {
            return status;
        }
        acls = created->acls;
    }
    if (std::any_of(acls.begin(), acls.end(), [](const SecACLRef& acl) { return !acl; })) {
        return errSecParam;
    }
    if (std::none_of(acls.begin(), acls.end(), [](const SecACLRef& acl) {
            return hasAuthorization(*acl, kACLAuthorizationPartitionID);
        })) {
        auto description = keychain_internal::partitionDescription(options_.partitionId);
        if (!description) {
            return errSecInternalComponent;
        }
        acls.push_back(std::make_shared<SecACL>(SecACL{{std::string(kACLAuthorizationPartitionID)},
                                                       std::nullopt,
                                                       std::move(*description),
                                                       0}));
    }
    auto encodedAcl = keychain_internal::encodeAclList(acls);
    if (!encodedAcl) {
        return errSecParam;
    }

    SecKeychainRef selected;
    if (const OSStatus status = selectKeychain(keychain ? *keychain : nullptr, &selected);
        status != errSecSuccess) {
        return status;
    }
    std::vector<NewItem> items(1);
    items[0].service = toBytes(*service);
    if (account) {
        items[0].account = toBytes(*account);
    }
    items[0].secret = &*data;
    items[0].acl = std::move(*encodedAcl);
    std::vector<std::int64_t> ids;
    if (const OSStatus status = selected->add(items, &ids); status != errSecSuccess) {
        return status;
    }
    if (returnRef.value_or(false) && result != nullptr) {
        *result = std::make_shared<SecKeychainItem>(selected, ids.front());
    }
    return errSecSuccess;
}

OSStatus SqliteKeychainService::callingProgram(SecTrustedApplicationRef* app) {
    const std::lock_guard lock(mutex_);
    if (!callingProgram_) {
        std::filesystem::path path;
        if (options_.callingProgramPath) {
            path = *options_.callingProgramPath;
        } else {
            std::error_code error;
            path = std::filesystem::read_symlink("/proc/self/exe", error);
            if (error) {
                return errSecIO;
            }
        }
        SecTrustedApplicationRef created;
        if (const OSStatus status = SecTrustedApplicationCreateFromPath(path.c_str(), &created);
            status != errSecSuccess) {
            return status;
        }
        callingProgram_ = std::move(created);
    }
    *app = callingProgram_;
    return errSecSuccess;
}

OSStatus SqliteKeychainService::defaultAccess(std::string_view descriptor,
                                              const SecApplicationList& trustedList,
                                              SecAccessRef* accessRef) {
    if (!validApplications(trustedList)) {
        return errSecParam;
    }
    SecTrustedApplicationRef self;
    if (const OSStatus status = callingProgram(&self); status != errSecSuccess) {
        return status;
    }
    const std::string description(descriptor);
    auto access = std::make_shared<SecAccess>();
    access->acls.push_back(std::make_shared<SecACL>(
        SecACL{{std::string(kACLAuthorizationEncrypt)}, std::nullopt, description, 0}));
    access->acls.push_back(std::make_shared<SecACL>(SecACL{
        useAuthorizations(),
        trustedList ? trustedList : std::vector<SecTrustedApplicationRef>{self}, description, 0}));
    access->acls.push_back(
        std::make_shared<SecACL>(SecACL{{std::string(kACLAuthorizationChangeACL)},
                                        std::vector<SecTrustedApplicationRef>{self},
                                        description,
                                        0}));
    *accessRef = std::move(access);
    return errSecSuccess;
}

OSStatus SqliteKeychainService::SecAccessCreate(std::string_view descriptor,
                                                const SecApplicationList& trustedList,
                                                SecAccessRef* accessRef) {
    if (accessRef == nullptr) {
        return errSecParam;
    }
    return defaultAccess(descriptor, trustedList, accessRef);
}

OSStatus SqliteKeychainService::SecAccessCopyACLList(
    const SecAccessRef& access, std::optional<std::vector<SecACLRef>>* aclList) {
    if (aclList == nullptr) {
        return errSecParam;
    }
    if (!access) {
        *aclList = std::nullopt;
        return errSecParam;
    }
    // The same ACL objects: a change through SecACLSetContents shows in the
    // access object.
    *aclList = access->acls;
    return errSecSuccess;
}

OSStatus SqliteKeychainService::SecACLCopyContents(const SecACLRef& acl,
                                                   SecApplicationList* applicationList,
                                                   std::string* description,
                                                   std::uint16_t* promptSelector) {
    if (!acl) {
        return errSecParam;
    }
    if (applicationList != nullptr) {
        *applicationList = acl->applications;
    }
    if (description != nullptr) {
        *description = acl->description;
    }
    if (promptSelector != nullptr) {
        *promptSelector = acl->promptSelector;
    }
    return errSecSuccess;
}

std::vector<std::string> SqliteKeychainService::SecACLCopyAuthorizations(const SecACLRef& acl) {
    return acl ? acl->authorizations : std::vector<std::string>{};
}

OSStatus SqliteKeychainService::SecACLSetContents(const SecACLRef& acl,
                                                  const SecApplicationList& applicationList,
                                                  std::string_view description,
                                                  std::uint16_t promptSelector) {
    if (!acl || !validApplications(applicationList)) {
        return errSecParam;
    }
    acl->applications = applicationList;
    acl->description = std::string(description);
    acl->promptSelector = promptSelector;
    return errSecSuccess;
}

OSStatus SqliteKeychainService::SecTrustedApplicationCreateFromPath(const char* path,
                                                                    SecTrustedApplicationRef* app) {
    if (app == nullptr) {
        return errSecParam;
    }
    if (path == nullptr) {
        return callingProgram(app);
    }
    if (*path == '\0') {
        return errSecParam;
    }
    // O_NONBLOCK: a FIFO at the path must not block the open; it is refused
    // below like any other kind of file that is not a program.
    const ScopedFD fd(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd) {
        const int error = errno;
        return error == ENOENT || error == ENOTDIR || error == ELOOP || error == ENAMETOOLONG
                   ? errSecParam
                   : errSecIO;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        return errSecIO;
    }
    Bytes digest;
    if (S_ISREG(info.st_mode)) {
        if (const OSStatus status = keychain_internal::sha256OfFile(fd.get(), &digest);
            status != errSecSuccess) {
            return errSecIO;
        }
    } else if (!S_ISDIR(info.st_mode)) {
        return errSecParam;
    }
    *app = std::make_shared<const SecTrustedApplication>(
        SecTrustedApplication{std::string(path), std::move(digest)});
    return errSecSuccess;
}

OSStatus SqliteKeychainService::SecKeychainItemCopyAccess(const SecKeychainItemRef& item,
                                                          SecAccessRef* access) {
    if (!item || access == nullptr) {
        return errSecParam;
    }
    StoredItem stored;
    if (const OSStatus status = item->keychain()->read(item->id(), &stored);
        status != errSecSuccess) {
        return status;
    }
    auto acls = keychain_internal::decodeAclList(stored.acl);
    if (!acls) {
        return errSecDecode;
    }
    auto result = std::make_shared<SecAccess>();
    result->acls = std::move(*acls);
    *access = std::move(result);
    return errSecSuccess;
}

OSStatus SqliteKeychainService::SecKeychainItemSetAccessWithPassword(const SecKeychainItemRef& item,
                                                                     const SecAccessRef& access,
                                                                     std::uint32_t passwordLength,
                                                                     const void* password) {
    if (!item || !access || (passwordLength > 0 && password == nullptr)) {
        return errSecParam;
    }
    // These keychains have no password of their own: any password, the empty
    // one included, authorises the change.
    auto encoded = keychain_internal::encodeAclList(access->acls);
    if (!encoded) {
        return errSecParam;
    }
    return item->keychain()->setAcl(item->id(), *encoded);
}

OSStatus SqliteKeychainService::SecRandomCopyBytes(SecRandomRef rnd, std::size_t count,
                                                   void* bytes) {
    if (rnd != kSecRandomDefault) {
        return errSecParam;
    }
    return keychain_internal::fillRandom(bytes, count);
}

bool SqliteKeychainService::changeAtomically(const SecKeychainRef& keychain,
                                             const std::function<bool(bool atomic)>& change) {
    SecKeychainRef selected;
    if (selectKeychain(keychain, &selected) != errSecSuccess) {
        return change(false);
    }
    SecKeychainRef outer;
    {
        const std::lock_guard lock(mutex_);
        outer = std::exchange(changing_, selected);
    }
    // Puts back the change that was running before, however this one ends.
    struct Restore {
        SqliteKeychainService& service;
        SecKeychainRef outer;
        ~Restore() {
            const std::lock_guard lock(service.mutex_);
            service.changing_ = std::move(outer);
        }
    } restore{*this, std::move(outer)};
    return selected->changeAtomically([&change] { return change(true); }).value_or(false);
}

OSStatus SqliteKeychainService::listItems(const std::filesystem::path& keychainPath,
                                          std::vector<KeychainItemInfo>* items) {
    if (items == nullptr) {
        return errSecParam;
    }
    SecKeychainRef keychain;
    if (const OSStatus status =
            SecKeychain::open(keychainPath, SecKeychain::OpenMode::ListOnly, &keychain);
        status != errSecSuccess) {
        return status;
    }
    std::vector<StoredItem> stored;
    if (const OSStatus status = keychain->list(&stored); status != errSecSuccess) {
        return status;
    }
    std::vector<KeychainItemInfo> result;
    result.reserve(stored.size());
    for (StoredItem& item : stored) {
        result.push_back({std::move(item.service), std::move(item.account),
                          fromMicros(item.createdMicros), fromMicros(item.modifiedMicros),
                          keychain_internal::decodeAclList(item.acl)});
    }
    *items = std::move(result);
    return errSecSuccess;
}

}  // namespace lockstep
