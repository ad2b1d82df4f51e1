#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/directory/directory.h"
#include "platform/directory/od_objects.h"

namespace lockstep {

namespace account_files {
struct GroupEntry;
struct PasswdEntry;
}  // namespace account_files

// The local directory node of a Linux machine: users from etc/passwd (with
// etc/shadow) and groups from etc/group (with etc/gshadow), read under
// `root` ("/" on a real machine; a temporary folder in tests). Native
// attributes that the files cannot hold live in a side store under
// var/lib/lockstep/directory/ below the same root.
//
// Records are snapshots taken when a query runs. Each record's attributes()
// holds the attributes its query asked for:
// - kODAttributeTypeStandardOnly: the standard attributes from the files;
// - kODAttributeTypeNativeOnly: the record name and the side-store attributes;
// - kODAttributeTypeAllAttributes: both;
// - one attribute name: the record name and that attribute.
// valuesForAttribute() reads the record's full snapshot whatever was asked
// for, so UniqueID and NFSHomeDirectory are readable from a record queried
// with NativeOnly. Standard attributes whose file field is empty (home, shell,
// full name) are left out; a group always has GroupMembership (maybe empty).
//
// verifyPassword, isMemberRecord and the changes read the files afresh and
// find the record's entry by name (the first entry of that name, as
// getpwnam(3) does). Changes are made under the account-files lock
// (etc/.pwd.lock) and replace whole files; see account_files.h.
//
// Lines of the account files that are not well-formed entries are skipped;
// a change rewrites only the edited line and keeps every other byte. Damaged
// side-store files are ignored when read and refused when written.
class LocalDirectoryService final : public DirectoryService {
  public:
    // How long a change waits for the account-files lock (as lckpwdf(3)).
    static constexpr std::chrono::milliseconds kDefaultLockTimeout{15000};

    explicit LocalDirectoryService(std::filesystem::path root,
                                   std::chrono::milliseconds lockTimeout = kDefaultLockTimeout);
    LocalDirectoryService(const LocalDirectoryService&) = delete;
    LocalDirectoryService& operator=(const LocalDirectoryService&) = delete;

    [[nodiscard]] const std::filesystem::path& root() const { return root_; }

    [[nodiscard]] ODSessionRef ODSessionDefaultSession() override;

    // Only kODNodeTypeLocalNodes; any other type is kODErrorNodeUnknownType.
    [[nodiscard]] ODNodeRef ODNodeInitWithSession(const ODSessionRef& session, ODNodeType type,
                                                  std::optional<ODError>* error) override;

    // Record types Users and Groups, attribute RecordName, match types
    // EqualTo (any of the values) and Any (every record), maximum 0 for no
    // limit. Anything else, and a null node, is an error.
    [[nodiscard]] ODQueryRef ODQueryInitWithNode(const ODNodeRef& node, std::string_view recordType,
                                                 std::string_view attribute, ODMatchType matchType,
                                                 const std::vector<std::string>& queryValues,
                                                 std::string_view returnAttributes,
                                                 std::int64_t maximumResults,
                                                 std::optional<ODError>* error) override;

    // Runs the query: the matching records in file order, or an error. There
    // are never partial results, whatever `allowPartial` says.
    [[nodiscard]] std::optional<std::vector<ODRecordRef>> resultsAllowingPartial(
        const ODQueryRef& query, bool allowPartial, std::optional<ODError>* error) override;

    // See password_check.h for the codes. An account whose passwd field is
    // "x" but has no shadow entry has no usable hash (AccountDisabled); a
    // user gone from etc/passwd is AccountNotFound.
    [[nodiscard]] bool verifyPassword(const ODRecordRef& record, std::string_view password,
                                      std::optional<ODError>* error) override;

    // From the record's full snapshot (see above); kODErrorRecordAttributeNotFound
    // when the record has no such attribute.
    [[nodiscard]] std::optional<std::vector<ODValue>> valuesForAttribute(
        const ODRecordRef& record, std::string_view attribute,
        std::optional<ODError>* error) override;

    [[nodiscard]] std::string recordName(const ODRecordRef& record) override;

    // Yes for a listed member and for a user whose primary group is the
    // group. A plain no is false with kODErrorRecordNotAMember.
    [[nodiscard]] bool isMemberRecord(const ODRecordRef& group, const ODRecordRef& member,
                                      std::optional<ODError>* error) override;

    // Lists the user in the group's member list, and in gshadow's when
    // gshadow has the group. Adding a listed member changes nothing and
    // succeeds, as usermod -aG does.
    [[nodiscard]] bool addMemberRecord(const ODRecordRef& group, const ODRecordRef& member,
                                       std::optional<ODError>* error) override;

    // Takes the user off the group's (and gshadow's) member list. Removing a
    // user who is not listed succeeds without a change. A user whose primary
    // group is the group cannot be removed through the lists: that is
    // refused with kODErrorRecordParameterError and nothing changes.
    [[nodiscard]] bool removeMemberRecord(const ODRecordRef& group, const ODRecordRef& member,
                                          std::optional<ODError>* error) override;

    // Native attributes ("dsAttrTypeNative:…") go to the side store, as the
    // single value given. For users, RealName (first GECOS field),
    // UserShell and NFSHomeDirectory rewrite etc/passwd; other standard
    // attributes (RecordName, UniqueID, PrimaryGroupID, GroupMembership) are
    // refused with kODErrorRecordPermissionError.
    [[nodiscard]] bool setValueForAttribute(const ODRecordRef& record, const ODValue& value,
                                            std::string_view attribute,
                                            std::optional<ODError>* error) override;

  private:
    // Lets a membership change go on (true) or refuses it, with the error set.
    // `user` is the member's passwd entry, null when the user is gone.
    using MemberCheck = std::function<bool(const account_files::GroupEntry& group,
                                           const account_files::PasswdEntry* user)>;
    using MemberEdit = std::function<std::vector<std::string>(std::vector<std::string> members)>;

    [[nodiscard]] std::filesystem::path etcFile(std::string_view name) const;
    // The body of addMemberRecord and removeMemberRecord: under the
    // account-files lock, finds the group, asks `check`, then applies `edit`
    // to the group's member lists in etc/group and etc/gshadow.
    [[nodiscard]] bool changeMembers(const ODRecordRef& group, const std::string& name,
                                     const MemberCheck& check, const MemberEdit& edit,
                                     std::optional<ODError>* error);

    std::filesystem::path root_;
    std::chrono::milliseconds lockTimeout_;
    ODSessionRef session_;
};

}  // namespace lockstep
