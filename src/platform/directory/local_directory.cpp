#include "platform/directory/local_directory.h"

#include <algorithm>
#include <memory>
#include <string>
#include <utility>

#include "platform/directory/account_files.h"
#include "platform/directory/password_check.h"
#include "platform/directory/side_store.h"

namespace lockstep {

namespace af = account_files;

namespace {

constexpr std::string_view kStandardAttributePrefix = "dsAttrTypeStandard:";
constexpr std::string_view kSideStoreFolder = "var/lib/lockstep/directory";

// A record's full snapshot. It travels with the record inside the deleter of
// its shared pointer, so it lives exactly as long as the record and can be
// found again from any copy of the reference.
struct RecordState {
    ODAttributes full;
};

struct LocalRecordDeleter {
    std::shared_ptr<RecordState> state;
    void operator()(ODRecord* record) const noexcept { std::default_delete<ODRecord>()(record); }
};

RecordState* stateOf(const ODRecordRef& record) {
    auto* deleter = std::get_deleter<LocalRecordDeleter>(record);
    return deleter == nullptr ? nullptr : deleter->state.get();
}

bool fail(std::optional<ODError>* error, ODError failure) {
    if (error != nullptr) {
        *error = std::move(failure);
    }
    return false;
}

bool fail(std::optional<ODError>* error, std::int64_t code, std::string description) {
    return fail(error, ODError(code, std::move(description)));
}

bool hasPrefix(std::string_view text, std::string_view prefix) {
    return text.size() > prefix.size() && text.substr(0, prefix.size()) == prefix;
}

bool isNativeAttribute(std::string_view name) {
    return hasPrefix(name, kODNativeAttributePrefix);
}

bool isStandardAttribute(std::string_view name) {
    return hasPrefix(name, kStandardAttributePrefix);
}

bool isReturnSet(std::string_view name) {
    return name == kODAttributeTypeAllAttributes || name == kODAttributeTypeNativeOnly ||
           name == kODAttributeTypeStandardOnly;
}

bool contains(const std::vector<std::string>& names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

std::int64_t today() {
    const auto now = std::chrono::system_clock::now();
    return std::chrono::floor<std::chrono::days>(now).time_since_epoch().count();
}

std::vector<ODValue> textValues(const std::vector<std::string>& texts) {
    return std::vector<ODValue>(texts.begin(), texts.end());
}

ODAttributes userAttributes(const af::PasswdEntry& entry) {
    ODAttributes attributes;
    attributes.emplace(kODAttributeTypeRecordName, std::vector<ODValue>{entry.name});
    attributes.emplace(kODAttributeTypeUniqueID, std::vector<ODValue>{std::to_string(entry.uid)});
    attributes.emplace(kODAttributeTypePrimaryGroupID,
                       std::vector<ODValue>{std::to_string(entry.gid)});
    if (!entry.home.empty()) {
        attributes.emplace(kODAttributeTypeNFSHomeDirectory, std::vector<ODValue>{entry.home});
    }
    if (!entry.shell.empty()) {
        attributes.emplace(kODAttributeTypeUserShell, std::vector<ODValue>{entry.shell});
    }
    const std::string fullName(af::splitFields(entry.gecos, ',').front());
    if (!fullName.empty()) {
        attributes.emplace(kODAttributeTypeFullName, std::vector<ODValue>{fullName});
    }
    return attributes;
}

ODAttributes groupAttributes(const af::GroupEntry& entry) {
    ODAttributes attributes;
    attributes.emplace(kODAttributeTypeRecordName, std::vector<ODValue>{entry.name});
    attributes.emplace(kODAttributeTypePrimaryGroupID,
                       std::vector<ODValue>{std::to_string(entry.gid)});
    attributes.emplace(kODAttributeTypeGroupMembership, textValues(entry.members));
    return attributes;
}

// The part of a full snapshot that a query's returned-attribute set names.
ODAttributes visibleAttributes(const ODAttributes& full, std::string_view returnAttributes) {
    if (returnAttributes == kODAttributeTypeAllAttributes) {
        return full;
    }
    ODAttributes visible;
    for (const auto& [name, values] : full) {
        bool keep = name == kODAttributeTypeRecordName;
        if (returnAttributes == kODAttributeTypeStandardOnly) {
            keep = isStandardAttribute(name);
        } else if (returnAttributes == kODAttributeTypeNativeOnly) {
            keep = keep || isNativeAttribute(name);
        } else {
            keep = keep || name == returnAttributes;
        }
        if (keep) {
            visible.emplace(name, values);
        }
    }
    return visible;
}

ODRecordRef makeRecord(std::string_view recordType, const std::string& name, ODAttributes full,
                       std::string_view returnAttributes) {
    auto state = std::make_shared<RecordState>();
    state->full = std::move(full);
    auto record = std::make_unique<ODRecord>(std::string(recordType), name,
                                             visibleAttributes(state->full, returnAttributes));
    return ODRecordRef(record.release(), LocalRecordDeleter{std::move(state)});
}

// Reads a file the operation cannot do without.
std::optional<af::LoadResult> loadRequired(const std::filesystem::path& path,
                                           std::optional<ODError>* error) {
    auto loaded = af::loadFile(path);
    if (loaded.status == af::LoadStatus::Missing) {
        fail(error, kODErrorDaemonError, path.string() + " is missing");
        return std::nullopt;
    }
    if (loaded.status == af::LoadStatus::Failed) {
        fail(error, kODErrorDaemonError, loaded.problem);
        return std::nullopt;
    }
    return loaded;
}

// Reads a file that may be absent; a file that is there but unreadable is
// still an error.
std::optional<af::LoadResult> loadOptional(const std::filesystem::path& path,
                                           std::optional<ODError>* error) {
    auto loaded = af::loadFile(path);
    if (loaded.status == af::LoadStatus::Failed) {
        fail(error, kODErrorDaemonError, loaded.problem);
        return std::nullopt;
    }
    return loaded;
}

bool checkRecord(const ODRecordRef& record, std::string_view recordType,
                 std::optional<ODError>* error) {
    if (!record) {
        return fail(error, kODErrorRecordParameterError, "no record");
    }
    if (record->recordType() != recordType) {
        return fail(error, kODErrorRecordInvalidType,
                    "expected a record of type " + std::string(recordType) + ", got " +
                        record->recordType());
    }
    return true;
}

af::Replacement replacementFor(const std::filesystem::path& path, const af::LoadResult& loaded,
                               const af::Line& line, std::string_view newLine) {
    return af::Replacement{path, af::replaceLine(loaded.content, line, newLine), loaded.attributes,
                           loaded.content};
}

}  // namespace

LocalDirectoryService::LocalDirectoryService(std::filesystem::path root,
                                             std::chrono::milliseconds lockTimeout)
    : root_(std::move(root)),
      lockTimeout_(lockTimeout),
      session_(std::make_shared<ODSession>(this)) {}

std::filesystem::path LocalDirectoryService::etcFile(std::string_view name) const {
    return root_ / "etc" / name;
}

ODSessionRef LocalDirectoryService::ODSessionDefaultSession() {
    return session_;
}

ODNodeRef LocalDirectoryService::ODNodeInitWithSession(const ODSessionRef& session, ODNodeType type,
                                                       std::optional<ODError>* error) {
    if (!session || session->owner() != this) {
        fail(error, kODErrorNodeUnknownName, "no session of this directory service");
        return nullptr;
    }
    if (type != kODNodeTypeLocalNodes) {
        fail(error, kODErrorNodeUnknownType, "unknown node type " + std::to_string(type));
        return nullptr;
    }
    return std::make_shared<ODNode>(session, type);
}

ODQueryRef LocalDirectoryService::ODQueryInitWithNode(
    const ODNodeRef& node, std::string_view recordType, std::string_view attribute,
    ODMatchType matchType, const std::vector<std::string>& queryValues,
    std::string_view returnAttributes, std::int64_t maximumResults, std::optional<ODError>* error) {
    if (!node || node->owner() != this) {
        fail(error, kODErrorNodeUnknownName, "no node of this directory service");
        return nullptr;
    }
    if (node->type() != kODNodeTypeLocalNodes) {
        fail(error, kODErrorNodeUnknownType, "unknown node type");
        return nullptr;
    }
    if (recordType != kODRecordTypeUsers && recordType != kODRecordTypeGroups) {
        fail(error, kODErrorRecordInvalidType,
             "unsupported record type " + std::string(recordType));
        return nullptr;
    }
    if (attribute != kODAttributeTypeRecordName) {
        fail(error, kODErrorRecordAttributeUnknownType,
             "queries match on the record name only, not " + std::string(attribute));
        return nullptr;
    }
    if (matchType != kODMatchEqualTo && matchType != kODMatchAny) {
        fail(error, kODErrorQueryUnsupportedMatchType,
             "unsupported match type " + std::to_string(matchType));
        return nullptr;
    }
    if (matchType == kODMatchEqualTo && queryValues.empty()) {
        fail(error, kODErrorRecordParameterError, "no query value");
        return nullptr;
    }
    if (!isReturnSet(returnAttributes) && !isStandardAttribute(returnAttributes) &&
        !isNativeAttribute(returnAttributes)) {
        fail(error, kODErrorRecordAttributeUnknownType,
             "unknown returned attributes " + std::string(returnAttributes));
        return nullptr;
    }
    if (maximumResults < 0) {
        fail(error, kODErrorRecordParameterError, "negative maximum results");
        return nullptr;
    }
    return std::make_shared<ODQuery>(
        node, ODQuery::Parameters{std::string(recordType), std::string(attribute), matchType,
                                  queryValues, std::string(returnAttributes), maximumResults});
}

std::optional<std::vector<ODRecordRef>> LocalDirectoryService::resultsAllowingPartial(
    const ODQueryRef& query, bool /*allowPartial*/, std::optional<ODError>* error) {
    if (!query || !query->node() || query->node()->owner() != this) {
        fail(error, kODErrorRecordParameterError, "no query of this directory service");
        return std::nullopt;
    }
    const ODQuery::Parameters& parameters = query->parameters();
    const bool users = parameters.recordType == kODRecordTypeUsers;
    const auto loaded = loadRequired(etcFile(users ? "passwd" : "group"), error);
    if (!loaded) {
        return std::nullopt;
    }
    const auto matches = [&parameters](const std::string& name) {
        return parameters.matchType == kODMatchAny || contains(parameters.queryValues, name);
    };
    const auto limit = static_cast<std::size_t>(parameters.maximumResults);
    const SideStore sideStore(root_ / kSideStoreFolder);
    std::vector<ODRecordRef> records;
    const auto add = [&](const std::string& name, ODAttributes full) {
        full.merge(sideStore.read(parameters.recordType, name));
        records.push_back(
            makeRecord(parameters.recordType, name, std::move(full), parameters.returnAttributes));
    };
    if (users) {
        for (const auto& located :
             af::parseEntries<af::PasswdEntry>(loaded->content, af::parsePasswdLine)) {
            if (limit != 0 && records.size() >= limit) {
                break;
            }
            if (matches(located.entry.name)) {
                add(located.entry.name, userAttributes(located.entry));
            }
        }
    } else {
        for (const auto& located :
             af::parseEntries<af::GroupEntry>(loaded->content, af::parseGroupLine)) {
            if (limit != 0 && records.size() >= limit) {
                break;
            }
            if (matches(located.entry.name)) {
                add(located.entry.name, groupAttributes(located.entry));
            }
        }
    }
    return records;
}

bool LocalDirectoryService::verifyPassword(const ODRecordRef& record, std::string_view password,
                                           std::optional<ODError>* error) {
    if (!checkRecord(record, kODRecordTypeUsers, error)) {
        return false;
    }
    const auto passwd = loadRequired(etcFile("passwd"), error);
    if (!passwd) {
        return false;
    }
    const auto users = af::parseEntries<af::PasswdEntry>(passwd->content, af::parsePasswdLine);
    const auto* user = af::findByName(users, record->recordName());
    if (user == nullptr) {
        return fail(error, kODErrorCredentialsAccountNotFound, "Account not found");
    }
    const auto shadow = loadOptional(etcFile("shadow"), error);
    if (!shadow) {
        return false;
    }
    std::vector<af::Located<af::ShadowEntry>> shadowEntries;
    if (shadow->status == af::LoadStatus::Loaded) {
        shadowEntries = af::parseEntries<af::ShadowEntry>(shadow->content, af::parseShadowLine);
    }
    const auto* shadowEntry = af::findByName(shadowEntries, record->recordName());

    std::int64_t verdict = 0;
    if (shadowEntry != nullptr) {
        verdict = password_check::verify(shadowEntry->entry.password, &shadowEntry->entry, password,
                                         today());
    } else if (user->entry.password == "x") {
        verdict = kODErrorCredentialsAccountDisabled;
    } else {
        verdict = password_check::verify(user->entry.password, nullptr, password, today());
    }
    switch (verdict) {
        case 0:
            return true;
        case kODErrorCredentialsInvalid:
            return fail(error, verdict, "Credentials invalid");
        case kODErrorCredentialsMethodNotSupported:
            return fail(error, verdict, "Credential method not supported");
        case kODErrorCredentialsAccountDisabled:
            return fail(error, verdict, "Account disabled");
        case kODErrorCredentialsAccountExpired:
            return fail(error, verdict, "Account expired");
        case kODErrorCredentialsAccountInactive:
            return fail(error, verdict, "Account inactive");
        case kODErrorCredentialsAccountLocked:
            return fail(error, verdict, "Account locked");
        default:
            return fail(error, kODErrorCredentialsOperationFailed, "Password check failed");
    }
}

std::optional<std::vector<ODValue>> LocalDirectoryService::valuesForAttribute(
    const ODRecordRef& record, std::string_view attribute, std::optional<ODError>* error) {
    if (!record) {
        fail(error, kODErrorRecordParameterError, "no record");
        return std::nullopt;
    }
    const RecordState* state = stateOf(record);
    const ODAttributes& attributes = state != nullptr ? state->full : record->attributes();
    const auto found = attributes.find(attribute);
    if (found == attributes.end()) {
        fail(error, kODErrorRecordAttributeNotFound,
             "the record has no attribute " + std::string(attribute));
        return std::nullopt;
    }
    return found->second;
}

std::string LocalDirectoryService::recordName(const ODRecordRef& record) {
    return record ? record->recordName() : std::string();
}

bool LocalDirectoryService::isMemberRecord(const ODRecordRef& group, const ODRecordRef& member,
                                           std::optional<ODError>* error) {
    if (!checkRecord(group, kODRecordTypeGroups, error) ||
        !checkRecord(member, kODRecordTypeUsers, error)) {
        return false;
    }
    const auto groupFile = loadRequired(etcFile("group"), error);
    if (!groupFile) {
        return false;
    }
    const auto groups = af::parseEntries<af::GroupEntry>(groupFile->content, af::parseGroupLine);
    const auto* groupEntry = af::findByName(groups, group->recordName());
    if (groupEntry == nullptr) {
        return fail(error, kODErrorRecordNoLongerExists,
                    "the group " + group->recordName() + " no longer exists");
    }
    if (contains(groupEntry->entry.members, member->recordName())) {
        return true;
    }
    const auto passwd = loadRequired(etcFile("passwd"), error);
    if (!passwd) {
        return false;
    }
    const auto users = af::parseEntries<af::PasswdEntry>(passwd->content, af::parsePasswdLine);
    const auto* user = af::findByName(users, member->recordName());
    if (user != nullptr && user->entry.gid == groupEntry->entry.gid) {
        return true;
    }
    return fail(error, kODErrorRecordNotAMember,
                member->recordName() + " is not a member of " + group->recordName());
}

bool LocalDirectoryService::changeMembers(const ODRecordRef& group, const std::string& name,
                                          const MemberCheck& check, const MemberEdit& edit,
                                          std::optional<ODError>* error) {
    const auto lock = af::AccountFilesLock::acquire(etcFile(".pwd.lock"), lockTimeout_, error);
    if (!lock) {
        return false;
    }
    const auto groupPath = etcFile("group");
    const auto gshadowPath = etcFile("gshadow");
    const auto groupFile = loadRequired(groupPath, error);
    const auto passwd = groupFile ? loadRequired(etcFile("passwd"), error) : std::nullopt;
    const auto gshadow = passwd ? loadOptional(gshadowPath, error) : std::nullopt;
    if (!gshadow) {
        return false;
    }
    const auto groups = af::parseEntries<af::GroupEntry>(groupFile->content, af::parseGroupLine);
    const auto* groupEntry = af::findByName(groups, group->recordName());
    if (groupEntry == nullptr) {
        return fail(error, kODErrorRecordNoLongerExists,
                    "the group " + group->recordName() + " no longer exists");
    }
    const auto users = af::parseEntries<af::PasswdEntry>(passwd->content, af::parsePasswdLine);
    const auto* user = af::findByName(users, name);
    if (!check(groupEntry->entry, user != nullptr ? &user->entry : nullptr)) {
        return false;
    }

    // Only lines whose member list changes are rewritten.
    std::vector<af::Replacement> replacements;
    const std::vector<std::string> members = edit(groupEntry->entry.members);
    if (members != groupEntry->entry.members) {
        replacements.push_back(replacementFor(
            groupPath, *groupFile, groupEntry->line,
            af::replaceField(groupEntry->line.text, 3, af::joinFields(members, ','))));
    }
    if (gshadow->status == af::LoadStatus::Loaded) {
        const auto entries =
            af::parseEntries<af::GShadowEntry>(gshadow->content, af::parseGShadowLine);
        const auto* entry = af::findByName(entries, group->recordName());
        if (entry != nullptr) {
            const std::vector<std::string> shadowMembers = edit(entry->entry.members);
            if (shadowMembers != entry->entry.members) {
                replacements.push_back(replacementFor(
                    gshadowPath, *gshadow, entry->line,
                    af::replaceField(entry->line.text, 3, af::joinFields(shadowMembers, ','))));
            }
        }
    }
    if (auto failure = af::replaceFiles(replacements)) {
        return fail(error, std::move(*failure));
    }
    if (RecordState* state = stateOf(group)) {
        state->full.insert_or_assign(std::string(kODAttributeTypeGroupMembership),
                                     textValues(members));
    }
    return true;
}

bool LocalDirectoryService::addMemberRecord(const ODRecordRef& group, const ODRecordRef& member,
                                            std::optional<ODError>* error) {
    if (!checkRecord(group, kODRecordTypeGroups, error) ||
        !checkRecord(member, kODRecordTypeUsers, error)) {
        return false;
    }
    const std::string& name = member->recordName();
    if (!af::isMemberNameSafe(name)) {
        return fail(error, kODErrorRecordParameterError,
                    "the user name cannot stand in a member list");
    }
    const auto userExists = [&](const af::GroupEntry& /*group*/, const af::PasswdEntry* user) {
        return user != nullptr ||
               fail(error, kODErrorRecordNoLongerExists, "the user " + name + " no longer exists");
    };
    const auto with = [&name](std::vector<std::string> list) {
        if (!contains(list, name)) {
            list.push_back(name);
        }
        return list;
    };
    return changeMembers(group, name, userExists, with, error);
}

bool LocalDirectoryService::removeMemberRecord(const ODRecordRef& group, const ODRecordRef& member,
                                               std::optional<ODError>* error) {
    if (!checkRecord(group, kODRecordTypeGroups, error) ||
        !checkRecord(member, kODRecordTypeUsers, error)) {
        return false;
    }
    const std::string& name = member->recordName();
    const auto notPrimaryGroup = [&](const af::GroupEntry& groupEntry,
                                     const af::PasswdEntry* user) {
        return user == nullptr || user->gid != groupEntry.gid ||
               fail(error, kODErrorRecordParameterError,
                    group->recordName() + " is the primary group of " + name +
                        "; that membership cannot be removed from the member list");
    };
    const auto without = [&name](std::vector<std::string> list) {
        list.erase(std::remove(list.begin(), list.end(), name), list.end());
        return list;
    };
    return changeMembers(group, name, notPrimaryGroup, without, error);
}

bool LocalDirectoryService::setValueForAttribute(const ODRecordRef& record, const ODValue& value,
                                                 std::string_view attribute,
                                                 std::optional<ODError>* error) {
    if (!record) {
        return fail(error, kODErrorRecordParameterError, "no record");
    }
    const bool users = record->recordType() == kODRecordTypeUsers;
    if (!users && record->recordType() != kODRecordTypeGroups) {
        return fail(error, kODErrorRecordInvalidType,
                    "unsupported record type " + record->recordType());
    }
    const bool native = isNativeAttribute(attribute);
    const bool passwdField = attribute == kODAttributeTypeFullName ||
                             attribute == kODAttributeTypeUserShell ||
                             attribute == kODAttributeTypeNFSHomeDirectory;
    if (!native) {
        if (attribute == kODAttributeTypeRecordName || attribute == kODAttributeTypeUniqueID ||
            attribute == kODAttributeTypePrimaryGroupID ||
            attribute == kODAttributeTypeGroupMembership) {
            return fail(error, kODErrorRecordPermissionError,
                        std::string(attribute) + " cannot be changed through this service");
        }
        if (!passwdField || !users) {
            return fail(
                error, kODErrorRecordAttributeUnknownType,
                "cannot set attribute " + std::string(attribute) + " on " + record->recordType());
        }
        const auto* text = std::get_if<std::string>(&value);
        if (text == nullptr || !af::isFieldSafe(*text) ||
            (attribute == kODAttributeTypeFullName && text->find(',') != std::string::npos)) {
            return fail(error, kODErrorRecordParameterError,
                        "the value cannot be stored in " + std::string(attribute));
        }
    }

    const auto lock = af::AccountFilesLock::acquire(etcFile(".pwd.lock"), lockTimeout_, error);
    if (!lock) {
        return false;
    }
    const auto filePath = etcFile(users ? "passwd" : "group");
    const auto file = loadRequired(filePath, error);
    if (!file) {
        return false;
    }
    const std::string& name = record->recordName();
    if (native) {
        const bool exists =
            users ? af::findByName(
                        af::parseEntries<af::PasswdEntry>(file->content, af::parsePasswdLine),
                        name) != nullptr
                  : af::findByName(
                        af::parseEntries<af::GroupEntry>(file->content, af::parseGroupLine),
                        name) != nullptr;
        if (!exists) {
            return fail(error, kODErrorRecordNoLongerExists,
                        "the record " + name + " no longer exists");
        }
        const SideStore sideStore(root_ / kSideStoreFolder);
        if (auto failure = sideStore.setValue(record->recordType(), name, attribute, value)) {
            return fail(error, std::move(*failure));
        }
        if (RecordState* state = stateOf(record)) {
            state->full.insert_or_assign(std::string(attribute), std::vector<ODValue>{value});
        }
        return true;
    }

    const std::string& text = std::get<std::string>(value);
    const auto entries = af::parseEntries<af::PasswdEntry>(file->content, af::parsePasswdLine);
    const auto* entry = af::findByName(entries, name);
    if (entry == nullptr) {
        return fail(error, kODErrorRecordNoLongerExists,
                    "the record " + name + " no longer exists");
    }
    std::string newLine;
    if (attribute == kODAttributeTypeFullName) {
        std::vector<std::string> gecos;
        for (const std::string_view field : af::splitFields(entry->entry.gecos, ',')) {
            gecos.emplace_back(field);
        }
        gecos.front() = text;
        newLine = af::replaceField(entry->line.text, 4, af::joinFields(gecos, ','));
    } else {
        newLine = af::replaceField(entry->line.text,
                                   attribute == kODAttributeTypeNFSHomeDirectory ? 5 : 6, text);
    }
    const std::vector<af::Replacement> replacements{
        replacementFor(filePath, *file, entry->line, newLine)};
    if (auto failure = af::replaceFiles(replacements)) {
        return fail(error, std::move(*failure));
    }
    if (RecordState* state = stateOf(record)) {
        if (text.empty()) {
            if (const auto found = state->full.find(attribute); found != state->full.end()) {
                state->full.erase(found);
            }
        } else {
            state->full.insert_or_assign(std::string(attribute), std::vector<ODValue>{text});
        }
    }
    return true;
}

}  // namespace lockstep
