#include <plist/plist.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <ostream>
#include <system_error>

#include "ctl/commands.h"
#include "log/log.h"
#include "platform/plist.h"
#include "platform/text.h"

namespace lockstep::ctl {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kDisarmName = "disarm(account:)";

std::string text(const Bytes& bytes) {
    return toString(bytes);
}

bool sameText(const Bytes& bytes, std::string_view wanted) {
    return bytes.size() == wanted.size() && std::equal(bytes.begin(), bytes.end(), wanted.begin());
}

bool matches(const KeychainItemInfo& item, const ItemFilter& filter) {
    if (filter.service && !sameText(item.service, *filter.service)) {
        return false;
    }
    if (filter.account && !(item.account && sameText(*item.account, *filter.account))) {
        return false;
    }
    return true;
}

std::string joinPrintable(const std::vector<std::string>& texts) {
    std::string joined;
    for (const std::string& entry : texts) {
        if (!joined.empty()) {
            joined += ", ";
        }
        joined += printable(entry);
    }
    return joined;
}

void printAcl(const SecACL& acl, std::size_t number, std::ostream& out) {
    out << "  acl " << number << ":       " << joinPrintable(acl.authorizations) << '\n';
    if (!acl.applications) {
        out << "    applications: any\n";
    } else if (acl.applications->empty()) {
        out << "    applications: none\n";
    } else {
        for (const SecTrustedApplicationRef& app : *acl.applications) {
            out << "    application:  " << (app ? printable(app->path) : "(missing)");
            if (app && !app->digest.empty()) {
                out << " (SHA-256 " << hexEncode(app->digest) << ')';
            }
            out << '\n';
        }
    }
    const bool partition = std::find(acl.authorizations.begin(), acl.authorizations.end(),
                                     kACLAuthorizationPartitionID) != acl.authorizations.end();
    const std::optional<TextLists> lists =
        partition ? decodePartitionDescription(acl.description) : std::nullopt;
    if (lists) {
        for (const auto& [key, values] : *lists) {
            out << "    " << (key == "Partitions" ? std::string("partitions") : printable(key))
                << ":   " << joinPrintable(values) << '\n';
        }
    } else {
        out << "    description:  " << printable(acl.description) << '\n';
    }
    out << "    prompt:       " << acl.promptSelector << '\n';
}

void printItem(const KeychainItemInfo& item, std::size_t number, std::ostream& out) {
    out << "item " << number << '\n';
    out << "  service:      " << printable(text(item.service)) << '\n';
    out << "  account:      " << (item.account ? printable(text(*item.account)) : "(none)") << '\n';
    out << "  created:      " << formatTime(item.created) << '\n';
    out << "  modified:     " << formatTime(item.modified) << '\n';
    if (!item.acls) {
        out << "  acls:         unreadable\n";
        return;
    }
    std::size_t aclNumber = 0;
    for (const SecACLRef& acl : *item.acls) {
        ++aclNumber;
        if (acl) {
            printAcl(*acl, aclNumber, out);
        }
    }
}

std::string describeFilter(const ItemFilter& filter) {
    std::string text = "no item";
    if (filter.service) {
        text += " of service \"" + printable(*filter.service) + "\"";
    }
    if (filter.account) {
        text += " for account \"" + printable(*filter.account) + "\"";
    }
    return text;
}

}  // namespace

std::optional<TextLists> decodePartitionDescription(std::string_view description) {
    const std::optional<Bytes> bytes = hexDecode(description);
    if (!bytes) {
        return std::nullopt;
    }
    const std::optional<ParsedPlist> parsed = parsePlist(*bytes);
    if (!parsed) {
        return std::nullopt;
    }
    return dictionaryOfTextLists(parsed->root.get());
}

bool readKeychainItems(const fs::path& keychain, std::vector<KeychainItemInfo>* items,
                       std::string* why) {
    // The keychain service reports every refusal of the file system as an
    // I/O error; a refused permission deserves its own words.
    if (::access(keychain.c_str(), R_OK) != 0 && errno == EACCES) {
        *why = "cannot read " + printable(keychain.string()) + ": permission denied";
        return false;
    }
    const OSStatus status = SqliteKeychainService::listItems(keychain, items);
    if (status != errSecSuccess) {
        *why = "cannot read " + printable(keychain.string()) + ": " + describeStatus(status);
        return false;
    }
    return true;
}

CommandResult printItems(const fs::path& keychain, bool isSystemKeychain, const ItemFilter& filter,
                         std::ostream& out, bool json) {
    std::error_code error;
    const fs::file_status found = fs::symlink_status(keychain, error);
    std::vector<KeychainItemInfo> items;
    if (isSystemKeychain && error == std::errc::no_such_file_or_directory &&
        found.type() == fs::file_type::not_found) {
        // Nothing has been enrolled on this machine yet.
    } else {
        std::string why;
        if (!readKeychainItems(keychain, &items, &why)) {
            return {ExitStatus::keychainUnreadable, why};
        }
    }

    if (json) {
        std::vector<std::pair<std::size_t, const KeychainItemInfo*>> matching;
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (matches(items[i], filter)) {
                matching.emplace_back(i + 1, &items[i]);
            }
        }
        printItemsJson(keychain, matching, out);
        if (matching.empty() && (filter.service || filter.account)) {
            return {ExitStatus::notEnrolled,
                    describeFilter(filter) + " in " + printable(keychain.string())};
        }
        return {};
    }

    std::size_t shown = 0;
    std::size_t number = 0;
    for (const KeychainItemInfo& item : items) {
        ++number;
        if (!matches(item, filter)) {
            continue;
        }
        if (shown == 0) {
            out << "keychain: " << printable(keychain.string()) << "\n";
        }
        out << '\n';
        printItem(item, number, out);
        ++shown;
    }
    if (shown == 0) {
        if (filter.service || filter.account) {
            return {ExitStatus::notEnrolled,
                    describeFilter(filter) + " in " + printable(keychain.string())};
        }
        out << "keychain: " << printable(keychain.string()) << " (no items)\n";
    }
    return {};
}

CommandResult disarm(const Services& services, const std::optional<std::string>& account,
                     std::ostream& out) {
    const fs::path& path = services.systemKeychainPath;
    const std::string what =
        "no credential of service \"" + std::string(kCredentialService) + "\"" +
        (account ? " for account \"" + printable(*account) + "\"" : std::string()) + " is stored";

    // Looking first keeps a missing keychain from being created.
    std::error_code error;
    const fs::file_status found = fs::symlink_status(path, error);
    if (found.type() == fs::file_type::not_found) {
        return {ExitStatus::notEnrolled, what};
    }
    std::vector<KeychainItemInfo> items;
    std::string why;
    if (!readKeychainItems(path, &items, &why)) {
        return {ExitStatus::keychainUnreadable, why};
    }

    KeychainService& keychainService = services.context.keychain;
    SecKeychainRef keychain;
    if (const OSStatus status =
            keychainService.SecKeychainCopyDomainDefault(kSecPreferencesDomainSystem, &keychain);
        status != errSecSuccess || !keychain) {
        return {ExitStatus::keychainUnreadable,
                "cannot open " + printable(path.string()) + ": " + describeStatus(status)};
    }

    const std::string service(kCredentialService);
    const auto serviceLength = static_cast<std::uint32_t>(service.size());
    // An empty account would be no account to the lookup, and match them all.
    if (account && (account->empty() || account->size() > UINT32_MAX)) {
        return {ExitStatus::notEnrolled, what};
    }
    const std::uint32_t accountLength = account ? static_cast<std::uint32_t>(account->size()) : 0U;
    // Each pass removes one item; the listing bounds the passes, so a service
    // that keeps answering with an item cannot hold the command forever.
    std::size_t removed = 0;
    for (std::size_t pass = 0; pass <= items.size(); ++pass) {
        SecKeychainItemRef item;
        // No password outputs: the secrets are neither decrypted nor read.
        const OSStatus findStatus = keychainService.SecKeychainFindGenericPassword(
            keychain, serviceLength, service.data(), accountLength,
            account ? account->data() : nullptr, nullptr, nullptr, &item);
        if (findStatus == errSecItemNotFound) {
            break;
        }
        if (findStatus != errSecSuccess || !item) {
            return {ExitStatus::keychainUnreadable,
                    "cannot look up the credential: " + describeStatus(findStatus)};
        }
        if (const OSStatus deleteStatus = keychainService.SecKeychainItemDelete(item);
            deleteStatus != errSecSuccess) {
            return {ExitStatus::failure,
                    "removed " + std::to_string(removed) +
                        ", then could not remove a credential: " + describeStatus(deleteStatus)};
        }
        ++removed;
        if (pass == items.size()) {
            return {ExitStatus::failure, "credentials keep reappearing; stopped after removing " +
                                             std::to_string(removed)};
        }
    }
    if (removed == 0) {
        return {ExitStatus::notEnrolled, what};
    }

    const std::string forAccount = account ? " for account " + printable(*account) : std::string();
    LOCKSTEP_LOG_INFO("removed " + std::to_string(removed) + " stored credential(s) of service " +
                          service + forAccount,
                      kDisarmName);
    out << "removed " << removed << " stored credential" << (removed == 1 ? "" : "s")
        << " of service \"" << service << "\""
        << (account ? " for account \"" + printable(*account) + "\"" : std::string()) << '\n';

    if (account) {
        // Another account's credential still arms restarts.
        std::vector<KeychainItemInfo> left;
        std::string ignored;
        if (readKeychainItems(path, &left, &ignored)) {
            const auto others = std::count_if(left.begin(), left.end(), [](const auto& entry) {
                return sameText(entry.service, kCredentialService);
            });
            if (others > 0) {
                out << others << " other credential" << (others == 1 ? "" : "s") << " of service \""
                    << service << "\" remain; lockstepd still arms restarts with "
                    << (others == 1 ? "it" : "the oldest") << '\n';
            }
        }
    }
    return {};
}

}  // namespace lockstep::ctl
