#include "directory/ds_queryable.h"

#include <charconv>
#include <cmath>
#include <exception>
#include <string>
#include <system_error>

#include "directory/od_query.h"
#include "log/log.h"
#include "platform/context.h"

namespace lockstep {

namespace {

constexpr std::string_view kCheckUIDandHomeName = "checkUIDandHome(name:)";
constexpr std::string_view kRemoveAdminName = "removeAdmin(_:)";

std::string withValue(std::string_view prefix, std::string_view value) {
    std::string text(prefix);
    text += value;
    return text;
}

// Drops a leading "+" from a number (std::from_chars takes only "-"). False
// when the "+" stands alone or before a "-": no number then.
bool withoutPlusSign(std::string_view& text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        return !text.empty() && text.front() != '-';
    }
    return true;
}

// A whole decimal integer, with an optional sign, that fits 64 bits.
std::optional<std::int64_t> parseInteger(std::string_view text) {
    if (!withoutPlusSign(text)) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || text.empty()) {
        return std::nullopt;
    }
    return value;
}

// A UID read as a number, in the C locale, with nothing before or after it.
// The fraction is dropped; a number outside 0...4294967295 is no UID.
std::optional<std::uint32_t> parseUID(std::string_view text) {
    if (!withoutPlusSign(text) || text.empty()) {
        return std::nullopt;
    }
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || !std::isfinite(value)) {
        return std::nullopt;
    }
    if (!(value >= 0.0 && value <= 4294967295.0)) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(std::trunc(value));
}

}  // namespace

DSQueryable::DSQueryable(const Context& context) : directory_(context.directory) {}

ODNodeRef DSQueryable::localNode() const {
    osLog(LogType::Debug, "Finding the DSLocal node");
    std::optional<ODError> error;
    ODNodeRef node = openLocalNode(directory_, &error);
    if (!node) {
        osLog(LogType::Error, "ODError creating local node.");
    }
    return node;
}

ODRecordRef DSQueryable::getLocalRecordOfType(std::string_view name, std::string_view recordType,
                                              std::int64_t maximumResults,
                                              std::string_view multipleMessage,
                                              std::string_view noneMessage) const {
    osLog(LogType::Default, withValue("Building OD query for name ", name));
    const ODNodeRef node = localNode();
    try {
        std::vector<ODRecordRef> records =
            queryRecords(directory_, node, recordType, kODMatchEqualTo, {std::string(name)},
                         kODAttributeTypeNativeOnly, maximumResults);
        if (records.size() >= 2) {
            osLog(LogType::Default, multipleMessage);
            throw DSQueryableErrors::multipleUsersFound();
        }
        if (records.empty()) {
            osLog(LogType::Default, noneMessage);
            throw DSQueryableErrors::notLocalUser();
        }
        return records.front();
    } catch (const Error& error) {
        osLog(LogType::Error, withValue("ODError while trying to check for local user: ",
                                        error.localizedDescription()));
        throw;
    }
}

ODRecordRef DSQueryable::getLocalRecord(std::string_view name) const {
    return getLocalRecordOfType(name, kODRecordTypeUsers, 0,
                                "More than one local user found for name.", "No local user found.");
}

ODRecordRef DSQueryable::getLocalGroupRecord(std::string_view name) const {
    return getLocalRecordOfType(name, kODRecordTypeGroups, 1,
                                "More than one local group found for name.",
                                "No local group found.");
}

bool DSQueryable::isUserLocal(std::string_view name) const {
    try {
        return getLocalRecord(name) != nullptr;
    } catch (const DSQueryableErrors& error) {
        if (error.kind() == DSQueryableErrors::Case::notLocalUser) {
            return false;
        }
        throw;
    }
}

bool DSQueryable::isLocalPasswordValid(std::string_view userName, std::string_view userPass) const {
    try {
        const ODRecordRef record = getLocalRecord(userName);
        std::optional<ODError> error;
        if (directory_.verifyPassword(record, userPass, &error)) {
            return true;
        }
        throw reportedError(error);
    } catch (const Error& error) {
        if (error.code() == kODErrorCredentialsInvalid) {
            osLog(LogType::Default,
                  "Tested password for user account: " + std::string(userName) + " is not valid.");
            return false;
        }
        throw;
    }
}

std::vector<ODRecordRef> DSQueryable::getAllLocalUserRecords() const {
    const ODNodeRef node = localNode();
    try {
        // Every user record: the caller filters the list itself.
        return queryRecords(directory_, node, kODRecordTypeUsers, kODMatchAny, {},
                            kODAttributeTypeAllAttributes, 0);
    } catch (const Error&) {
        osLog(LogType::Error, "ODError while finding local users.");
        throw;
    }
}

std::vector<ODRecordRef> DSQueryable::getAllNonSystemUsers() const {
    std::vector<ODRecordRef> records;
    try {
        records = getAllLocalUserRecords();
    } catch (const Error&) {
        osLog(LogType::Error, "ODError while finding local users.");
        throw;
    }
    std::vector<ODRecordRef> kept;
    for (ODRecordRef& record : records) {
        std::optional<ODError> error;
        const std::optional<std::vector<ODValue>> values =
            directory_.valuesForAttribute(record, kODAttributeTypeUniqueID, &error);
        if (!values.has_value()) {
            osLog(LogType::Error, "ODError while finding local users.");
            throw reportedError(error);
        }
        const std::optional<std::vector<std::string>> uids = textValues(*values);
        if (!uids.has_value() || uids->empty()) {
            continue;
        }
        const std::optional<std::int64_t> uid = parseInteger(uids->front());
        if (!uid.has_value() || *uid <= 500) {
            continue;
        }
        if (directory_.recordName(record).starts_with('_')) {
            continue;
        }
        kept.push_back(std::move(record));
    }
    return kept;
}

DSQueryable::UIDAndHome DSQueryable::checkUIDandHome(std::string_view name) const {
    try {
        osLog(LogType::Debug, "Checking for local username");
        std::optional<ODError> error;
        const ODNodeRef node = openLocalNode(directory_, &error);
        if (!node) {
            return {};
        }
        const std::vector<ODRecordRef> records =
            queryRecords(directory_, node, kODRecordTypeUsers, kODMatchEqualTo, {std::string(name)},
                         kODAttributeTypeNativeOnly, 0);
        if (records.size() > 1) {
            LOCKSTEP_LOG_ERROR("More than one record. ", kCheckUIDandHomeName);
        }
        if (records.empty()) {
            // No record: nothing is known about the name. UID 0 is the
            // superuser and never stands in for an unknown UID.
            return {};
        }
        const ODRecordRef& record = records.front();
        const std::optional<std::vector<ODValue>> homeValues =
            directory_.valuesForAttribute(record, kODAttributeTypeNFSHomeDirectory, &error);
        const std::optional<std::vector<ODValue>> uidValues =
            directory_.valuesForAttribute(record, kODAttributeTypeUniqueID, &error);
        if (!homeValues.has_value() || !uidValues.has_value()) {
            LOCKSTEP_LOG_ERROR("Unable to get home.", kCheckUIDandHomeName);
            return {};
        }
        UIDAndHome result;
        const std::optional<std::vector<std::string>> uids = textValues(*uidValues);
        if (uids.has_value() && !uids->empty()) {
            result.first = parseUID(uids->front());
        }
        const std::optional<std::vector<std::string>> homes = textValues(*homeValues);
        if (homes.has_value() && !homes->empty()) {
            result.second = homes->front();
        }
        return result;
    } catch (const std::exception&) {
        return {};
    }
}

DSQueryable::Membership DSQueryable::membership(const ODRecordRef& group, const ODRecordRef& record,
                                                std::optional<ODError>* error) const {
    if (directory_.isMemberRecord(group, record, error)) {
        return Membership::member;
    }
    if (!error->has_value() || (*error)->code() == kODErrorRecordNotAMember) {
        return Membership::notMember;
    }
    return Membership::failed;
}

bool DSQueryable::isAdmin(const ODRecordRef& record) const {
    try {
        const ODRecordRef group = getLocalGroupRecord(kAdminGroupName);
        std::optional<ODError> error;
        return membership(group, record, &error) == Membership::member;
    } catch (const std::exception&) {
        return false;
    }
}

ODRecordRef DSQueryable::findAdministratorsGroup() const {
    osLog(LogType::Debug, "Find the administrators group");
    const ODNodeRef node = localNode();
    const std::vector<ODRecordRef> records =
        queryRecords(directory_, node, kODRecordTypeGroups, kODMatchEqualTo,
                     {std::string(kAdminGroupName)}, kODAttributeTypeNativeOnly, 1);
    return records.empty() ? nullptr : records.front();
}

bool DSQueryable::makeAdmin(const ODRecordRef& record) const {
    try {
        const ODRecordRef group = findAdministratorsGroup();
        osLog(LogType::Debug, "Adding user to administrators group");
        if (!group) {
            // Without the group there is nothing to promote into; marking the
            // account as promoted would be a lie.
            osLog(LogType::Error,
                  "Unable to add user to administrators group: The local group \"admin\" "
                  "does not exist.");
            return false;
        }
        std::optional<ODError> error;
        if (!directory_.addMemberRecord(group, record, &error)) {
            throw reportedError(error);
        }
        // The marker is a courtesy for later tools; the promotion stands
        // without it.
        std::optional<ODError> markerError;
        (void)directory_.setValueForAttribute(record, ODValue(std::string("1")),
                                              kPromotedToAdminAttribute, &markerError);
        return true;
    } catch (const Error& error) {
        osLog(LogType::Error, withValue("Unable to add user to administrators group: ",
                                        error.localizedDescription()));
        return false;
    } catch (const std::exception&) {
        return false;
    }
}

bool DSQueryable::removeAdmin(const ODRecordRef& record) const {
    try {
        std::vector<ODRecordRef> admins;
        try {
            admins = getAllAdminUsers();
        } catch (const std::exception&) {
            LOCKSTEP_LOG_ERROR("Error when getting all admin users", kRemoveAdminName);
            return false;
        }
        if (admins.size() <= 1) {
            logErrorLine("Will not remove last admin!!");
            return false;
        }
        if (!isAdmin(record)) {
            return true;
        }
        try {
            const ODRecordRef group = findAdministratorsGroup();
            osLog(LogType::Debug, "Remove user to administrators group");
            if (!group) {
                return true;
            }
            std::optional<ODError> error;
            if (!directory_.removeMemberRecord(group, record, &error)) {
                throw reportedError(error);
            }
            return true;
        } catch (const Error& error) {
            osLog(LogType::Error, withValue("Unable to add user to administrators group: ",
                                            error.localizedDescription()));
            return false;
        }
    } catch (const std::exception&) {
        return false;
    }
}

std::vector<ODRecordRef> DSQueryable::nonSystemUsersByAdminMembership(
    const std::function<bool(Membership, std::optional<ODError>&)>& keep) const {
    std::vector<ODRecordRef> kept;
    for (ODRecordRef& record : getAllNonSystemUsers()) {
        ODRecordRef group;
        try {
            group = getLocalGroupRecord(kAdminGroupName);
        } catch (const Error&) {
            kept.push_back(std::move(record));
            continue;
        }
        std::optional<ODError> error;
        if (keep(membership(group, record, &error), error)) {
            kept.push_back(std::move(record));
        }
    }
    return kept;
}

std::vector<ODRecordRef> DSQueryable::getAllAdminUsers() const {
    // A membership test that fails makes the whole listing fail.
    return nonSystemUsersByAdminMembership([](Membership answer, std::optional<ODError>& error) {
        if (answer == Membership::failed) {
            logDebugLine("error when looking for admin group membership");
            throw reportedError(error);
        }
        return answer == Membership::member;
    });
}

std::vector<ODRecordRef> DSQueryable::getAllStandardUsers() const {
    // A membership test that fails counts as a no.
    return nonSystemUsersByAdminMembership(
        [](Membership answer, std::optional<ODError>& /*error*/) {
            return answer != Membership::member;
        });
}

}  // namespace lockstep
