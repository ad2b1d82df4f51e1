#include <plist/plist.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <system_error>

#include "keychain/detail.h"
#include "keychain/keychain_util.h"
#include "log/log.h"
#include "platform/context.h"
#include "platform/plist.h"
#include "platform/text.h"

namespace lockstep {

using keychain_detail::join;
using keychain_detail::runGuarded;

namespace {

// createItemAccess and applyStoredItemAccess run inside setPassword and log
// under its name.
constexpr std::string_view kSetName = KeychainUtil::kSetPasswordName;
constexpr std::string_view kTrustedName = KeychainUtil::kTrustedAppsName;

bool hasTag(const std::vector<std::string>& tags, std::string_view tag) {
    return std::any_of(tags.begin(), tags.end(),
                       [tag](const std::string& candidate) { return candidate == tag; });
}

// Makes a text node that the caller owns.
PlistPtr newString(std::string_view text) {
    const std::string terminated(text);
    return PlistPtr(plist_new_string(terminated.c_str()));
}

// The partition description with "Partitions" set to the platform and the
// team, other keys and the property-list format kept. Nothing (after a log
// line) when the description cannot be rewritten.
std::optional<std::string> rewritePartitions(std::string_view description) {
    // The format stays XML unless a parse finds another.
    PlistFormat format = PlistFormat::XML;
    PlistPtr dictionary;
    // Text that is not hexadecimal is as unreadable as bytes that are not a
    // property list: both rebuild the description from scratch.
    const std::optional<Bytes> bytes = hexDecode(description);
    std::optional<ParsedPlist> parsed;
    if (bytes) {
        parsed = parsePlist(*bytes);
    }
    if (!parsed) {
        LOCKSTEP_LOG_DEBUG("No teamid in ACLAuthorizationPartitionID.", kSetName);
        dictionary.reset(plist_new_dict());
    } else {
        if (!dictionaryOfTextLists(parsed->root.get())) {
            LOCKSTEP_LOG_DEBUG(
                "ACLAuthorizationPartitionID description is not a dictionary of text lists",
                kSetName);
            return std::nullopt;
        }
        format = parsed->format;
        dictionary = std::move(parsed->root);
    }

    PlistPtr partitions(plist_new_array());
    PlistPtr platform = newString(KeychainUtil::kPlatformPartition);
    PlistPtr team = newString(KeychainUtil::kTeamPartition);
    if (dictionary == nullptr || partitions == nullptr || platform == nullptr || team == nullptr) {
        throw std::bad_alloc();
    }
    // The list and the dictionary take ownership of the nodes handed to them.
    plist_array_append_item(partitions.get(), platform.release());
    plist_array_append_item(partitions.get(), team.release());
    const std::string key(KeychainUtil::kPartitionsKey);
    plist_dict_set_item(dictionary.get(), key.c_str(), partitions.release());

    const std::optional<Bytes> serialized = serializePlist(dictionary.get(), format);
    if (!serialized) {
        LOCKSTEP_LOG_DEBUG("could not serialise the ACLAuthorizationPartitionID description",
                           kSetName);
        return std::nullopt;
    }
    return hexEncode(*serialized);
}

}  // namespace

std::vector<SecTrustedApplicationRef> KeychainUtil::trustedApps(const Context& ctx) noexcept {
    using Apps = std::vector<SecTrustedApplicationRef>;
    return runGuarded(kTrustedName, Apps(), [&]() -> Apps {
        struct Candidate {
            std::filesystem::path path;
            std::string_view failureMessage;
        };
        // Without a bundle path there is no program folder to trust, and an
        // empty path must never reach the platform.
        const bool haveBundle = !ctx.bundlePath.empty();
        const std::filesystem::path root =
            ctx.machineRoot.empty() ? std::filesystem::path("/") : ctx.machineRoot;
        const Candidate candidates[] = {
            {haveBundle ? ctx.bundlePath : std::filesystem::path(),
             "error appending trust for Lockstep.app"},
            {haveBundle
                 ? std::filesystem::path(ctx.bundlePath.native() + "/Contents/MacOS/lockstephelper")
                 : std::filesystem::path(),
             "error appending trust for lockstephelper"},
            {root / "Applications/Lockstep.app/Contents/MacOS/lockstepd",
             "error appending trust for lockstepd"},
            {root / "System/Library/Frameworks/Security.framework/Versions/A/MachServices/"
                    "authorizationhost.bundle/Contents/MacOS/authorizationhost",
             "error appending trust for authorizationhost"},
        };

        Apps apps;
        for (const Candidate& candidate : candidates) {
            std::error_code error;
            if (candidate.path.empty() || !std::filesystem::exists(candidate.path, error)) {
                continue;
            }
            SecTrustedApplicationRef app;
            const OSStatus status =
                ctx.keychain.SecTrustedApplicationCreateFromPath(candidate.path.c_str(), &app);
            if (status != errSecSuccess || app == nullptr) {
                LOCKSTEP_LOG_DEBUG(candidate.failureMessage, kTrustedName);
                continue;
            }
            apps.push_back(std::move(app));
        }
        return apps;
    });
}

std::optional<ItemAccess> KeychainUtil::createItemAccess(const Context& ctx,
                                                         std::string_view accountName) noexcept {
    return runGuarded(kSetName, std::optional<ItemAccess>(), [&]() -> std::optional<ItemAccess> {
        LOCKSTEP_LOG_DEBUG("Creating ACL", kSetName);
        SecAccessRef access;
        static_cast<void>(ctx.keychain.SecAccessCreate(accountName, std::nullopt, &access));
        if (access == nullptr) {
            LOCKSTEP_LOG_DEBUG("Error setting ACL", kSetName);
            return std::nullopt;
        }
        std::optional<std::vector<SecACLRef>> acls;
        static_cast<void>(ctx.keychain.SecAccessCopyACLList(access, &acls));
        if (!acls) {
            LOCKSTEP_LOG_DEBUG("Error copying the ACL list of the new access", kSetName);
            return std::nullopt;
        }

        std::vector<SecTrustedApplicationRef> apps = trustedApps(ctx);
        const SecApplicationList trusted(apps);
        for (const SecACLRef& acl : *acls) {
            if (acl == nullptr) {
                continue;
            }
            SecApplicationList applications;
            std::string description;
            std::uint16_t promptSelector = 0;
            static_cast<void>(
                ctx.keychain.SecACLCopyContents(acl, &applications, &description, &promptSelector));
            if (hasTag(ctx.keychain.SecACLCopyAuthorizations(acl), kACLAuthorizationDecrypt)) {
                LOCKSTEP_LOG_DEBUG("Found ACLAuthorizationDecrypt.", kSetName);
                static_cast<void>(ctx.keychain.SecACLSetContents(acl, trusted, "", promptSelector));
            }
        }
        return ItemAccess{std::move(access), std::move(apps)};
    });
}

StoredItemAccessResult KeychainUtil::applyStoredItemAccess(
    const Context& ctx, const SecKeychainItemRef& item,
    const std::vector<SecTrustedApplicationRef>& applications,
    std::string_view keychainPassword) noexcept {
    using Result = StoredItemAccessResult;
    return runGuarded(kSetName, Result::failed, [&]() -> Result {
        SecAccessRef access;
        const OSStatus copyStatus = ctx.keychain.SecKeychainItemCopyAccess(item, &access);
        if (access == nullptr) {
            LOCKSTEP_LOG_DEBUG(join({"invalid accessControlList: ", std::to_string(copyStatus)}),
                               kSetName);
            return Result::noAccessObject;
        }
        std::optional<std::vector<SecACLRef>> acls;
        static_cast<void>(ctx.keychain.SecAccessCopyACLList(access, &acls));
        if (!acls) {
            LOCKSTEP_LOG_DEBUG("Error copying the ACL list of the stored item", kSetName);
            return Result::failed;
        }

        const SecApplicationList trusted(applications);
        for (const SecACLRef& acl : *acls) {
            if (acl == nullptr) {
                continue;
            }
            SecApplicationList unused;
            std::string description;
            std::uint16_t promptSelector = 0;
            const OSStatus contentsStatus =
                ctx.keychain.SecACLCopyContents(acl, &unused, &description, &promptSelector);
            if (!hasTag(ctx.keychain.SecACLCopyAuthorizations(acl), kACLAuthorizationPartitionID)) {
                continue;
            }
            LOCKSTEP_LOG_DEBUG("Found ACLAuthorizationPartitionID.", kSetName);
            if (contentsStatus != errSecSuccess) {
                LOCKSTEP_LOG_DEBUG(join({"ACLAuthorizationPartitionID has no description: ",
                                         std::to_string(contentsStatus)}),
                                   kSetName);
                return Result::failed;
            }
            const std::optional<std::string> rewritten = rewritePartitions(description);
            if (!rewritten) {
                return Result::failed;
            }
            const OSStatus setStatus =
                ctx.keychain.SecACLSetContents(acl, trusted, *rewritten, promptSelector);
            LOCKSTEP_LOG_DEBUG(setStatus == errSecSuccess ? "SecACLSetContents success"
                                                          : "error SecACLSetContents",
                               kSetName);
        }

        // The password counts up to its first NUL byte.
        const std::string_view password = keychainPassword.substr(
            0, std::min(keychainPassword.find('\0'), keychainPassword.size()));
        if (password.size() > std::numeric_limits<std::uint32_t>::max()) {
            LOCKSTEP_LOG_DEBUG("keychain password is too long", kSetName);
            return Result::failed;
        }
        const OSStatus status = ctx.keychain.SecKeychainItemSetAccessWithPassword(
            item, access, static_cast<std::uint32_t>(password.size()), password.data());
        if (status == errSecSuccess) {
            LOCKSTEP_LOG_DEBUG("SecKeychainItemSetAccessWithPassword success", kSetName);
        } else {
            LOCKSTEP_LOG_DEBUG(
                join({"error SecKeychainItemSetAccessWithPassword: ", std::to_string(status)}),
                kSetName);
        }
        return Result::done;
    });
}

}  // namespace lockstep
