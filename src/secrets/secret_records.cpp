// GCC 12 at -O3 reports a memcmp bound beyond the largest object size inside
// std::map's inlined comparison of byte-string keys (a false positive in the
// standard library headers, so it is silenced for the whole file).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wstringop-overread"
#endif

#include "secrets/secret_records.h"

#include <utility>

#include "log/log.h"
#include "platform/keychain/keychain.h"
#include "secrets/password_cryptor.h"

namespace lockstep {

namespace {
constexpr std::string_view kFullNameKey = "fullName";
constexpr std::string_view kUsernameKey = "username";
constexpr std::string_view kPasswordKey = "password";
constexpr std::string_view kUIDKey = "uid";
constexpr std::string_view kRequiresPINKey = "requiresPIN";
constexpr std::string_view kUserDictKey = "userDict";
constexpr std::string_view kSaltKey = "salt";
constexpr std::string_view kLocalAdminKey = "localAdmin";
constexpr std::string_view kRFIDUIDUsersKey = "rfidUIDUsers";
constexpr std::string_view kRootKey = "root";
constexpr std::string_view kInitCoderName = "init(coder:)";
}  // namespace

// ---------------------------------------------------------------------------
// SecretKeeperUser

SecretKeeperUser::SecretKeeperUser(std::optional<std::string> fullName_, std::string username_,
                                   Bytes password_, std::int64_t userUID_, bool requiresPIN_)
    : fullName(std::move(fullName_)),
      username(std::move(username_)),
      password(std::move(password_)),
      userUID(userUID_),
      requiresPIN(requiresPIN_) {}

std::shared_ptr<SecretKeeperUser> SecretKeeperUser::init(KeyedUnarchiver& coder) {
    std::optional<std::string> fullName = coder.decodeObject(kFullNameKey).string();
    std::string username = coder.decodeObject(kUsernameKey).string().value_or(std::string());
    Bytes password = coder.decodeObject(kPasswordKey).data().value_or(Bytes());
    const std::int64_t userUID = coder.decodeObject(kUIDKey).integer().value_or(kDefaultUserUID);
    const bool requiresPIN = coder.decodeBool(kRequiresPINKey);
    return std::make_shared<SecretKeeperUser>(std::move(fullName), std::move(username),
                                              std::move(password), userUID, requiresPIN);
}

void SecretKeeperUser::encode(KeyedArchiver& coder) const {
    if (fullName.has_value()) {
        coder.encodeObject(std::string_view(*fullName), kFullNameKey);
    }
    coder.encodeObject(std::string_view(username), kUsernameKey);
    coder.encodeObject(password, kPasswordKey);
    coder.encodeObject(userUID, kUIDKey);
    coder.encodeBool(requiresPIN, kRequiresPINKey);
}

// ---------------------------------------------------------------------------
// RFIDUsers

RFIDUsers::RFIDUsers(std::optional<RFIDUserMap> userDict_, const Context& ctx)
    : userDict(std::move(userDict_)), salt(kSaltLength, 0) {
    // The salt is not a secret and a failed draw leaves it zero; the record
    // is made either way.
    (void)ctx.keychain.SecRandomCopyBytes(kSecRandomDefault, salt.size(), salt.data());
}

RFIDUsers::RFIDUsers(std::optional<RFIDUserMap> userDict_, Bytes salt_)
    : userDict(std::move(userDict_)), salt(std::move(salt_)) {}

std::shared_ptr<RFIDUsers> RFIDUsers::init(KeyedUnarchiver& coder) {
    std::optional<RFIDUserMap> userDict;
    if (const auto entries = coder.decodeObject(kUserDictKey).dictionary()) {
        RFIDUserMap map;
        bool wellFormed = true;
        for (const auto& [key, value] : *entries) {
            std::optional<Bytes> badge = key.data();
            std::shared_ptr<SecretKeeperUser> user = value.object<SecretKeeperUser>();
            if (!badge.has_value() || user == nullptr) {
                wellFormed = false;
                break;
            }
            map.insert_or_assign(std::move(*badge), std::move(user));
        }
        if (wellFormed) {
            userDict = std::move(map);
        }
    }
    Bytes salt = coder.decodeObject(kSaltKey).data().value_or(Bytes());
    return std::make_shared<RFIDUsers>(std::move(userDict), std::move(salt));
}

void RFIDUsers::encode(KeyedArchiver& coder) const {
    if (userDict.has_value()) {
        coder.encodeObject(*userDict, kUserDictKey);
    }
    coder.encodeObject(salt, kSaltKey);
}

std::shared_ptr<SecretKeeperUser> RFIDUsers::user(const Bytes& rfidUID) const {
    if (!userDict.has_value()) {
        return nullptr;
    }
    const auto found = userDict->find(rfidUID);
    return found == userDict->end() ? nullptr : found->second;
}

// ---------------------------------------------------------------------------
// Secrets

Secrets::Secrets(std::shared_ptr<SecretKeeperUser> localAdmin_,
                 std::shared_ptr<RFIDUsers> rfidUIDUsers_, Bytes salt_)
    : localAdmin(std::move(localAdmin_)),
      rfidUIDUsers(std::move(rfidUIDUsers_)),
      salt(std::move(salt_)) {}

std::shared_ptr<Secrets> Secrets::init(KeyedUnarchiver& coder, const Context& ctx) {
    std::shared_ptr<SecretKeeperUser> localAdmin =
        coder.decodeObject(kLocalAdminKey).object<SecretKeeperUser>();
    if (localAdmin == nullptr) {
        // The default administrator: an empty password (the empty text's
        // UTF-8 bytes, which always exist) sealed under an empty badge UID
        // and no PIN.
        try {
            Bytes password = passwordEncrypt(ctx, Bytes(), Bytes(), std::nullopt);
            localAdmin = std::make_shared<SecretKeeperUser>(
                std::string(), std::string(), std::move(password),
                SecretKeeperUser::kDefaultUserUID, false);
        } catch (const Error&) {
            LOCKSTEP_LOG_DEBUG("error init of user object", kInitCoderName);
            return nullptr;
        }
    }
    std::shared_ptr<RFIDUsers> rfidUIDUsers =
        coder.decodeObjectOfClass<RFIDUsers>(kRFIDUIDUsersKey);
    if (rfidUIDUsers == nullptr) {
        rfidUIDUsers = std::make_shared<RFIDUsers>(RFIDUserMap(), ctx);
    }
    Bytes salt = coder.decodeObject(kSaltKey).data().value_or(Bytes());
    return std::make_shared<Secrets>(std::move(localAdmin), std::move(rfidUIDUsers),
                                     std::move(salt));
}

void Secrets::encode(KeyedArchiver& coder) const {
    coder.encodeObject(localAdmin.get(), kLocalAdminKey);
    coder.encodeObject(rfidUIDUsers.get(), kRFIDUIDUsersKey);
    coder.encodeObject(salt, kSaltKey);
}

std::shared_ptr<Secrets> unarchiveSecrets(const Bytes& data, const Context& ctx) {
    const std::unique_ptr<KeyedUnarchiver> coder = KeyedUnarchiver::open(data);
    if (coder == nullptr) {
        return nullptr;
    }
    return coder->decodeObject(kRootKey).object<Secrets>(
        [&ctx](KeyedUnarchiver& inner) { return Secrets::init(inner, ctx); });
}

}  // namespace lockstep
