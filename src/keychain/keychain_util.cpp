#include "keychain/keychain_util.h"

#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "keychain/detail.h"
#include "log/log.h"
#include "platform/context.h"
#include "platform/text.h"

namespace lockstep {

using keychain_detail::join;
using keychain_detail::runGuarded;

namespace {

constexpr std::string_view kFindName = KeychainUtil::kFindPasswordName;
constexpr std::string_view kSetName = KeychainUtil::kSetPasswordName;
constexpr std::string_view kUpdateName = KeychainUtil::kUpdatePasswordName;

bool fitsIn32Bits(std::size_t length) {
    return length <= std::numeric_limits<std::uint32_t>::max();
}

// The keychain an operation works on: the given one, or the user's default.
// Reports to the system log; null when there is none.
SecKeychainRef selectKeychain(const Context& ctx, const SecKeychainRef& keychain) {
    if (keychain != nullptr) {
        osLog(LogType::Default, "using provided keychain");
        return keychain;
    }
    osLog(LogType::Default, "using user keychain");
    SecKeychainRef userKeychain;
    const OSStatus status =
        ctx.keychain.SecKeychainCopyDomainDefault(kSecPreferencesDomainUser, &userKeychain);
    if (status != errSecSuccess) {
        osLog(LogType::Default, "error getting user keychain");
        return nullptr;
    }
    if (userKeychain == nullptr) {
        osLog(LogType::Default, "keychain is nil. returning.");
        return nullptr;
    }
    return userKeychain;
}

// What storing a password achieved: the item that was added (null when none
// was), and whether its access was finished so the item can be handed out.
struct StoreOutcome {
    SecKeychainItemRef item;
    bool complete = false;
};

StoreOutcome storePasswordUnguarded(const Context& ctx, std::string_view serviceName,
                                    std::string_view accountName, std::string_view pass,
                                    std::string_view keychainPassword,
                                    const SecKeychainRef& keychain) {
    SecretBytes secret(toBytes(pass));
    LOCKSTEP_LOG_DEBUG(
        join({"Setting password for account:", accountName, " service:", serviceName}), kSetName);

    const SecKeychainRef selected = selectKeychain(ctx, keychain);
    if (selected == nullptr) {
        return {};
    }
    const std::optional<ItemAccess> access = KeychainUtil::createItemAccess(ctx, accountName);
    if (!access) {
        return {};
    }

    CFDictionary query;
    query.emplace(kSecClass, std::string(kSecClassGenericPassword));
    query.emplace(kSecAttrAccount, std::string(accountName));
    query.emplace(kSecAttrService, std::string(serviceName));
    query.emplace(kSecValueData, std::move(secret));
    query.emplace(kSecAttrAccess, access->access);
    query.emplace(kSecUseKeychain, selected);
    query.emplace(kSecReturnRef, true);

    LOCKSTEP_LOG_DEBUG("Calling SecItemAdd, returning new keychain item (generic password)",
                       kSetName);
    SecKeychainItemRef item;
    const OSStatus status = ctx.keychain.SecItemAdd(query, &item);
    if (status != errSecSuccess) {
        LOCKSTEP_LOG_DEBUG(join({"Error SecItemAdd: ", std::to_string(status), " "}), kSetName);
        return {};
    }
    if (item == nullptr) {
        LOCKSTEP_LOG_DEBUG("SecItemAdd succeeded but returned no keychain item", kSetName);
        return {};
    }

    const StoredItemAccessResult result =
        KeychainUtil::applyStoredItemAccess(ctx, item, access->applications, keychainPassword);
    return {item, result == StoredItemAccessResult::done};
}

// The steps of setPassword. An exception inside them ends them like any other
// failure, so that updatePassword still gets to put the previous item back.
StoreOutcome storePassword(const Context& ctx, std::string_view serviceName,
                           std::string_view accountName, std::string_view pass,
                           std::string_view keychainPassword,
                           const SecKeychainRef& keychain) noexcept {
    return runGuarded(kSetName, StoreOutcome{}, [&] {
        return storePasswordUnguarded(ctx, serviceName, accountName, pass, keychainPassword,
                                      keychain);
    });
}

}  // namespace

std::string_view PasswordItem::passwordText() const noexcept {
    const Bytes& bytes = password.bytes();
    if (bytes.empty()) {
        return {};
    }
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::optional<PasswordItem> KeychainUtil::findPassword(const Context& ctx,
                                                       std::string_view serviceName,
                                                       std::optional<std::string_view> accountName,
                                                       const SecKeychainRef& keychain) noexcept {
    return runGuarded(
        kFindName, std::optional<PasswordItem>(), [&]() -> std::optional<PasswordItem> {
            LOCKSTEP_LOG_DEBUG(join({"Finding ", serviceName, " in keychain"}), kFindName);
            const std::string accountText =
                accountName ? join({"Optional(\"", *accountName, "\")"}) : std::string("nil");
            LOCKSTEP_LOG_DEBUG(
                join({"find password for account:", accountText, " service:", serviceName}),
                kFindName);

            const SecKeychainRef selected = selectKeychain(ctx, keychain);
            if (selected == nullptr) {
                return std::nullopt;
            }

            const std::size_t accountLength = accountName ? accountName->size() : 0;
            if (!fitsIn32Bits(serviceName.size()) || !fitsIn32Bits(accountLength)) {
                LOCKSTEP_LOG_DEBUG("service or account name is too long for a keychain lookup",
                                   kFindName);
                return std::nullopt;
            }
            std::uint32_t passwordLength = 0;
            SecretBytes passwordData;
            SecKeychainItemRef item;
            const OSStatus status = ctx.keychain.SecKeychainFindGenericPassword(
                selected, static_cast<std::uint32_t>(serviceName.size()), serviceName.data(),
                static_cast<std::uint32_t>(accountLength),
                accountName ? accountName->data() : nullptr, &passwordLength, &passwordData, &item);
            if (status != errSecSuccess) {
                LOCKSTEP_LOG_ERROR(join({serviceName, " not found in keychain"}), kFindName);
                return std::nullopt;
            }
            if (passwordLength > passwordData.size()) {
                LOCKSTEP_LOG_DEBUG(join({"the keychain gave no password data for ", serviceName}),
                                   kFindName);
                return std::nullopt;
            }
            // Exactly the returned length. A shorter copy is made so that the
            // longer buffer is wiped whole when it goes away.
            SecretBytes password =
                passwordLength == passwordData.size()
                    ? std::move(passwordData)
                    : SecretBytes(Bytes(passwordData.bytes().begin(),
                                        passwordData.bytes().begin() + passwordLength));
            if (!isValidUtf8(password.bytes()) || password.empty()) {
                return std::nullopt;
            }
            LOCKSTEP_LOG_DEBUG(join({serviceName, " found in keychain"}), kFindName);
            if (item == nullptr) {
                return std::nullopt;
            }

            const SecKeychainAttributeInfo info{{kSecAccountItemAttr},
                                                {CSSM_DB_ATTRIBUTE_FORMAT_STRING}};
            SecKeychainAttributeList attributes;
            // Only the returned attribute matters; an item without an account
            // gives an empty user name.
            static_cast<void>(ctx.keychain.SecKeychainItemCopyAttributesAndData(
                item, &info, nullptr, &attributes, nullptr, nullptr));
            std::string username;
            if (!attributes.empty() && attributes.front().data) {
                const Bytes& account = *attributes.front().data;
                if (!isValidUtf8(account)) {
                    LOCKSTEP_LOG_DEBUG(
                        join({"the account name of the ", serviceName, " item is not valid UTF-8"}),
                        kFindName);
                    return std::nullopt;
                }
                username = toString(account);
            }

            LOCKSTEP_LOG_DEBUG("", kFindName);
            return PasswordItem{std::move(username), std::move(password), std::move(item)};
        });
}

SecKeychainItemRef KeychainUtil::setPassword(const Context& ctx, std::string_view serviceName,
                                             std::string_view accountName, std::string_view pass,
                                             std::string_view keychainPassword,
                                             const SecKeychainRef& keychain) noexcept {
    StoreOutcome outcome =
        storePassword(ctx, serviceName, accountName, pass, keychainPassword, keychain);
    // An item whose access could not be finished stays in the keychain, but
    // is not handed out.
    return outcome.complete ? std::move(outcome.item) : nullptr;
}

bool KeychainUtil::updatePassword(const Context& ctx, std::string_view serviceName,
                                  std::string_view accountName, std::string_view pass,
                                  std::string_view keychainPassword,
                                  const SecKeychainRef& keychain) noexcept {
    return runGuarded(kUpdateName, false, [&]() -> bool {
        // The lookup, the removal of the old item and the storing of the new
        // one form one change of the keychain where the keychain service can
        // make it one: then neither a process killed half way nor another
        // enrolment at the same time can leave the keychain without the
        // credential, and a failed change is undone as a whole.
        bool failureLogged = false;
        const bool stored = ctx.keychain.changeAtomically(keychain, [&](bool atomic) {
            const std::optional<PasswordItem> previous =
                findPassword(ctx, serviceName, accountName, keychain);
            bool previousDeleted = false;
            if (previous) {
                previousDeleted =
                    ctx.keychain.SecKeychainItemDelete(previous->keychainItem) == errSecSuccess;
            }

            LOCKSTEP_LOG_DEBUG(join({"setting new password for ", accountName, " ", serviceName}),
                               kUpdateName);
            const StoreOutcome outcome =
                storePassword(ctx, serviceName, accountName, pass, keychainPassword, keychain);
            if (outcome.complete) {
                return true;
            }
            LOCKSTEP_LOG_ERROR(join({"setting new password FAILURE: accountname:", accountName}),
                               kUpdateName);
            failureLogged = true;
            if (!previousDeleted) {
                return false;
            }
            if (atomic) {
                // Undoing the change puts the previous item back as it was.
                LOCKSTEP_LOG_ERROR(
                    join({"restored previous password item for accountname:", previous->username}),
                    kUpdateName);
                return false;
            }

            // Put the last working credential back, so that a failed
            // enrolment never leaves the machine without one. A half-finished
            // new item holds the same service and account and would block the
            // add.
            if (outcome.item != nullptr) {
                static_cast<void>(ctx.keychain.SecKeychainItemDelete(outcome.item));
            }
            const StoreOutcome restored =
                storePassword(ctx, serviceName, previous->username, previous->passwordText(),
                              keychainPassword, keychain);
            if (restored.item != nullptr) {
                LOCKSTEP_LOG_ERROR(
                    join({"restored previous password item for accountname:", previous->username}),
                    kUpdateName);
            } else {
                LOCKSTEP_LOG_ERROR(
                    join({"could not restore previous password item for accountname:",
                          previous->username}),
                    kUpdateName);
            }
            return false;
        });
        if (stored) {
            LOCKSTEP_LOG_DEBUG("setting new password success", kUpdateName);
            return true;
        }
        if (!failureLogged) {
            LOCKSTEP_LOG_ERROR(join({"setting new password FAILURE: accountname:", accountName}),
                               kUpdateName);
        }
        return false;
    });
}

}  // namespace lockstep
