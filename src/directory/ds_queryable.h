#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "directory/ds_queryable_errors.h"
#include "platform/directory/directory.h"

namespace lockstep {

struct Context;

// The local directory facility. A type gains every operation by deriving from
// it and handing over the Context; nothing here is virtual and nothing is
// kept between calls apart from the directory service the Context names.
//
// The throwing operations throw the directory's ODError or DSQueryableErrors,
// both lockstep::Error. Messages go straight to the unified system log.
class DSQueryable {
  public:
    // UID and home folder of an account, each none when unknown.
    using UIDAndHome = std::pair<std::optional<std::uint32_t>, std::optional<std::string>>;

    // The administrators group's record name.
    static constexpr std::string_view kAdminGroupName = "admin";
    // Marks accounts that makeAdmin promoted. Demotion leaves it in place.
    static constexpr std::string_view kPromotedToAdminAttribute =
        "dsAttrTypeNative:_tessel_promoted_to_admin";

    // The local directory node, or null when it cannot be opened.
    [[nodiscard]] ODNodeRef localNode() const;

    // Whether one local user record has this name. False when none has;
    // throws multipleUsersFound and directory errors.
    [[nodiscard]] bool isUserLocal(std::string_view name) const;

    // The one local user record of this name. Throws notLocalUser,
    // multipleUsersFound or the directory's error.
    [[nodiscard]] ODRecordRef getLocalRecord(std::string_view name) const;

    // True when the password is right, false when the directory calls it
    // invalid; every other failure is thrown.
    [[nodiscard]] bool isLocalPasswordValid(std::string_view userName,
                                            std::string_view userPass) const;

    // The one local group record of this name. Throws as getLocalRecord.
    [[nodiscard]] ODRecordRef getLocalGroupRecord(std::string_view name) const;

    // Every local user record.
    [[nodiscard]] std::vector<ODRecordRef> getAllLocalUserRecords() const;

    // The local users with a UID above 500 whose name does not begin with "_",
    // in directory order.
    [[nodiscard]] std::vector<ODRecordRef> getAllNonSystemUsers() const;

    // The UID and first home folder of the named user. Never throws; a name
    // without a record, and every failure, give (none, none).
    [[nodiscard]] UIDAndHome checkUIDandHome(std::string_view name) const;

    // Whether the user is a member of the local "admin" group. Never throws.
    [[nodiscard]] bool isAdmin(const ODRecordRef& record) const;

    // Adds the user to the "admin" group and marks it as promoted. False, with
    // nothing changed, when the group is missing or cannot be changed.
    [[nodiscard]] bool makeAdmin(const ODRecordRef& record) const;

    // Removes the user from the "admin" group, but never the last
    // administrator. True when the user is no administrator afterwards.
    [[nodiscard]] bool removeAdmin(const ODRecordRef& record) const;

    // The non-system users that are members of the "admin" group.
    [[nodiscard]] std::vector<ODRecordRef> getAllAdminUsers() const;

    // The non-system users that are not members of the "admin" group.
    [[nodiscard]] std::vector<ODRecordRef> getAllStandardUsers() const;

  protected:
    explicit DSQueryable(const Context& context);
    ~DSQueryable() = default;
    DSQueryable(const DSQueryable&) = default;
    DSQueryable& operator=(const DSQueryable&) = delete;

  private:
    enum class Membership { member, notMember, failed };

    // The local record of `name` and `recordType`, with the lookup's logs.
    [[nodiscard]] ODRecordRef getLocalRecordOfType(std::string_view name,
                                                   std::string_view recordType,
                                                   std::int64_t maximumResults,
                                                   std::string_view multipleMessage,
                                                   std::string_view noneMessage) const;
    // The "admin" group as makeAdmin and removeAdmin look it up: null when
    // there is none; throws the directory's error.
    [[nodiscard]] ODRecordRef findAdministratorsGroup() const;
    [[nodiscard]] Membership membership(const ODRecordRef& group, const ODRecordRef& record,
                                        std::optional<ODError>* error) const;
    // The body of getAllAdminUsers and getAllStandardUsers: the non-system
    // users, in order, that `keep` accepts given each one's membership of the
    // "admin" group (looked up again for every user) and the test's error. A
    // user for whom the group lookup throws is kept without asking `keep`.
    [[nodiscard]] std::vector<ODRecordRef> nonSystemUsersByAdminMembership(
        const std::function<bool(Membership, std::optional<ODError>&)>& keep) const;

    DirectoryService& directory_;
};

}  // namespace lockstep
