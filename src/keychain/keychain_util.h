#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bytes.h"
#include "platform/keychain/keychain.h"

namespace lockstep {

struct Context;

// A credential found in the keychain.
struct PasswordItem {
    // The item's account attribute; empty when the item has none.
    std::string username;
    // The item's secret data, valid UTF-8 and never empty in an item that
    // findPassword returns. Wiped when the record goes away.
    SecretBytes password;
    // The item itself; the record holds one reference.
    SecKeychainItemRef keychainItem;

    // The password as text, viewing the wiped buffer (valid while the record
    // lives and its password is unchanged).
    [[nodiscard]] std::string_view passwordText() const noexcept;
};

// The access object for a new item together with the trusted applications
// that were put into it.
struct ItemAccess {
    SecAccessRef access;
    std::vector<SecTrustedApplicationRef> applications;
};

// How the access of a stored item was finished.
enum class StoredItemAccessResult {
    // No access object came back for the item.
    noAccessObject,
    // The access was written back, whatever the final change reported.
    done,
    // The access could not be rewritten (no ACL list, a partition entry
    // without description, a partition list of unexpected shape, a property
    // list that cannot be serialised, an oversized keychain password).
    failed,
};

// Stores credentials as generic-password items in a keychain and reads them
// back. Holds no state; no operation throws. Failures are logged and reported
// as none (or false).
class KeychainUtil {
  public:
    KeychainUtil() = delete;

    static constexpr std::string_view kFindPasswordName =
        "findPassword(serviceName:accountName:keychain:)";
    static constexpr std::string_view kSetPasswordName =
        "setPassword(serviceName:accountName:pass:keychainPassword:keychain:)";
    static constexpr std::string_view kUpdatePasswordName =
        "updatePassword(serviceName:accountName:pass:keychainPassword:keychain:)";
    static constexpr std::string_view kTrustedAppsName = "trustedApps()";

    // The partition list that stored items are given.
    static constexpr std::string_view kPartitionsKey = "Partitions";
    static constexpr std::string_view kPlatformPartition = "apple:";
    static constexpr std::string_view kTeamPartition = "teamid:Q7M4ZK2RTD";

    // Looks an item up by service and, when given, account. Without an account
    // the service's item is found whatever its account. A null keychain means
    // the user's default keychain.
    [[nodiscard]] static std::optional<PasswordItem> findPassword(
        const Context& ctx, std::string_view serviceName,
        std::optional<std::string_view> accountName, const SecKeychainRef& keychain) noexcept;

    // Adds a new item with the product's access list and partition list.
    // Gives the new item, or null when nothing usable was stored.
    [[nodiscard]] static SecKeychainItemRef setPassword(const Context& ctx,
                                                        std::string_view serviceName,
                                                        std::string_view accountName,
                                                        std::string_view pass,
                                                        std::string_view keychainPassword,
                                                        const SecKeychainRef& keychain) noexcept;

    // Replaces the item of the service and account: deletes the old one, then
    // adds the new one. When the new one cannot be stored, the old one is put
    // back and the result is still false.
    [[nodiscard]] static bool updatePassword(const Context& ctx, std::string_view serviceName,
                                             std::string_view accountName, std::string_view pass,
                                             std::string_view keychainPassword,
                                             const SecKeychainRef& keychain) noexcept;

    // The programs that may read the item, in this order, each only when
    // something exists at its path: the running program's folder, its helper,
    // the installed daemon and the system authorisation host.
    [[nodiscard]] static std::vector<SecTrustedApplicationRef> trustedApps(
        const Context& ctx) noexcept;

    // A new access object in which every decrypt entry trusts exactly the
    // trustedApps() list and has an empty description; none when no access
    // object could be made.
    [[nodiscard]] static std::optional<ItemAccess> createItemAccess(
        const Context& ctx, std::string_view accountName) noexcept;

    // Rewrites the partition list of a stored item's partition entry and
    // writes the access back, authorised by the keychain password.
    [[nodiscard]] static StoredItemAccessResult applyStoredItemAccess(
        const Context& ctx, const SecKeychainItemRef& item,
        const std::vector<SecTrustedApplicationRef>& applications,
        std::string_view keychainPassword) noexcept;
};

}  // namespace lockstep
