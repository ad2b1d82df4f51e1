#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/bytes.h"
#include "platform/error.h"

namespace lockstep {

// An error of the directory service: an OpenDirectory-style code and a
// description.
class ODError final : public Error {
  public:
    ODError(std::int64_t code, std::string description)
        : code_(code), description_(std::move(description)) {}
    [[nodiscard]] std::int64_t code() const noexcept override { return code_; }
    [[nodiscard]] std::string localizedDescription() const override { return description_; }

  private:
    std::int64_t code_;
    std::string description_;
};

// Error codes, with the platform's numbers.
inline constexpr std::int64_t kODErrorNodeUnknownName = 2000;
inline constexpr std::int64_t kODErrorNodeUnknownType = 2001;
inline constexpr std::int64_t kODErrorQueryInvalidMatchType = 3100;
inline constexpr std::int64_t kODErrorQueryUnsupportedMatchType = 3101;
inline constexpr std::int64_t kODErrorRecordReadOnlyNode = 4000;
inline constexpr std::int64_t kODErrorRecordPermissionError = 4001;
inline constexpr std::int64_t kODErrorRecordParameterError = 4100;
inline constexpr std::int64_t kODErrorRecordInvalidType = 4101;
inline constexpr std::int64_t kODErrorRecordNoLongerExists = 4104;
inline constexpr std::int64_t kODErrorRecordAttributeUnknownType = 4200;
inline constexpr std::int64_t kODErrorRecordAttributeNotFound = 4201;
inline constexpr std::int64_t kODErrorRecordAttributeValueNotFound = 4203;
inline constexpr std::int64_t kODErrorCredentialsInvalid = 5000;
inline constexpr std::int64_t kODErrorCredentialsMethodNotSupported = 5100;
inline constexpr std::int64_t kODErrorCredentialsNotAuthorized = 5101;
inline constexpr std::int64_t kODErrorCredentialsOperationFailed = 5103;
inline constexpr std::int64_t kODErrorCredentialsAccountNotFound = 5300;
inline constexpr std::int64_t kODErrorCredentialsAccountDisabled = 5301;
inline constexpr std::int64_t kODErrorCredentialsAccountExpired = 5302;
inline constexpr std::int64_t kODErrorCredentialsAccountInactive = 5303;
inline constexpr std::int64_t kODErrorCredentialsAccountTemporarilyLocked = 5304;
inline constexpr std::int64_t kODErrorCredentialsAccountLocked = 5305;
inline constexpr std::int64_t kODErrorDaemonError = 10002;
// The code of a plain "not a member" answer from isMemberRecord, so that
// callers can tell it from a failure of the test itself.
inline constexpr std::int64_t kODErrorRecordNotAMember = kODErrorRecordAttributeValueNotFound;

using ODNodeType = std::uint32_t;
inline constexpr ODNodeType kODNodeTypeLocalNodes = 0x2200;

using ODMatchType = std::uint32_t;
inline constexpr ODMatchType kODMatchAny = 0x0001;
inline constexpr ODMatchType kODMatchEqualTo = 0x2001;

inline constexpr std::string_view kODRecordTypeUsers = "dsRecTypeStandard:Users";
inline constexpr std::string_view kODRecordTypeGroups = "dsRecTypeStandard:Groups";

inline constexpr std::string_view kODAttributeTypeRecordName = "dsAttrTypeStandard:RecordName";
inline constexpr std::string_view kODAttributeTypeUniqueID = "dsAttrTypeStandard:UniqueID";
inline constexpr std::string_view kODAttributeTypePrimaryGroupID =
    "dsAttrTypeStandard:PrimaryGroupID";
inline constexpr std::string_view kODAttributeTypeNFSHomeDirectory =
    "dsAttrTypeStandard:NFSHomeDirectory";
inline constexpr std::string_view kODAttributeTypeUserShell = "dsAttrTypeStandard:UserShell";
inline constexpr std::string_view kODAttributeTypeFullName = "dsAttrTypeStandard:RealName";
inline constexpr std::string_view kODAttributeTypeGroupMembership =
    "dsAttrTypeStandard:GroupMembership";
// Return-attribute sets.
inline constexpr std::string_view kODAttributeTypeNativeOnly = "dsAttributesNativeAll";
inline constexpr std::string_view kODAttributeTypeStandardOnly = "dsAttributesStandardAll";
inline constexpr std::string_view kODAttributeTypeAllAttributes = "dsAttributesAll";
// Prefix of attributes the account files cannot hold.
inline constexpr std::string_view kODNativeAttributePrefix = "dsAttrTypeNative:";

// An attribute value: text, or bytes that are not text.
using ODValue = std::variant<std::string, Bytes>;

// Opaque, reference-counted platform objects, defined by the service.
class ODSession;
class ODNode;
class ODQuery;
using ODSessionRef = std::shared_ptr<ODSession>;
using ODNodeRef = std::shared_ptr<ODNode>;
using ODQueryRef = std::shared_ptr<ODQuery>;

// A directory record as a query returned it: a snapshot of its attributes.
class ODRecord {
  public:
    ODRecord(std::string recordType, std::string recordName,
             std::map<std::string, std::vector<ODValue>, std::less<>> attributes)
        : recordType_(std::move(recordType)),
          recordName_(std::move(recordName)),
          attributes_(std::move(attributes)) {}

    [[nodiscard]] const std::string& recordType() const { return recordType_; }
    [[nodiscard]] const std::string& recordName() const { return recordName_; }
    [[nodiscard]] const std::map<std::string, std::vector<ODValue>, std::less<>>& attributes()
        const {
        return attributes_;
    }
    // Text that names the record for log lines, such as
    // "<ODRecord: 0x...> {recordType: dsRecTypeStandard:Users, recordName: alice}".
    [[nodiscard]] std::string description() const;

  private:
    std::string recordType_;
    std::string recordName_;
    std::map<std::string, std::vector<ODValue>, std::less<>> attributes_;
};
using ODRecordRef = std::shared_ptr<ODRecord>;

// The directory operations the logic calls, named as the platform's. A failed
// operation fills `error` (when given) and returns false, nothing or a null
// reference; none throws. The real service is LocalDirectoryService over the
// account files; tests wrap it to force failures it cannot be made to produce.
class DirectoryService {
  public:
    virtual ~DirectoryService() = default;

    [[nodiscard]] virtual ODSessionRef ODSessionDefaultSession() = 0;

    [[nodiscard]] virtual ODNodeRef ODNodeInitWithSession(const ODSessionRef& session,
                                                          ODNodeType type,
                                                          std::optional<ODError>* error) = 0;

    [[nodiscard]] virtual ODQueryRef ODQueryInitWithNode(
        const ODNodeRef& node, std::string_view recordType, std::string_view attribute,
        ODMatchType matchType, const std::vector<std::string>& queryValues,
        std::string_view returnAttributes, std::int64_t maximumResults,
        std::optional<ODError>* error) = 0;

    [[nodiscard]] virtual std::optional<std::vector<ODRecordRef>> resultsAllowingPartial(
        const ODQueryRef& query, bool allowPartial, std::optional<ODError>* error) = 0;

    [[nodiscard]] virtual bool verifyPassword(const ODRecordRef& record, std::string_view password,
                                              std::optional<ODError>* error) = 0;

    [[nodiscard]] virtual std::optional<std::vector<ODValue>> valuesForAttribute(
        const ODRecordRef& record, std::string_view attribute, std::optional<ODError>* error) = 0;

    [[nodiscard]] virtual std::string recordName(const ODRecordRef& record) = 0;

    // True for a listed member and for a user whose primary group is the
    // group. A plain no is false with an error of its own code.
    [[nodiscard]] virtual bool isMemberRecord(const ODRecordRef& group, const ODRecordRef& member,
                                              std::optional<ODError>* error) = 0;

    [[nodiscard]] virtual bool addMemberRecord(const ODRecordRef& group, const ODRecordRef& member,
                                               std::optional<ODError>* error) = 0;

    [[nodiscard]] virtual bool removeMemberRecord(const ODRecordRef& group,
                                                  const ODRecordRef& member,
                                                  std::optional<ODError>* error) = 0;

    [[nodiscard]] virtual bool setValueForAttribute(const ODRecordRef& record, const ODValue& value,
                                                    std::string_view attribute,
                                                    std::optional<ODError>* error) = 0;
};

}  // namespace lockstep
