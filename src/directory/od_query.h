#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/directory/directory.h"

// Small helpers shared by the local directory lookups and the password check.
namespace lockstep {

// The error a failed directory operation reported, or a generic one when the
// service failed without saying why (so a failure is never mistaken for an
// empty answer).
[[nodiscard]] ODError reportedError(std::optional<ODError>& error);

// Opens the local node on the default connection. Null, with `error` filled,
// when the node cannot be opened.
[[nodiscard]] ODNodeRef openLocalNode(DirectoryService& directory, std::optional<ODError>* error);

// One query of `node` for records of `recordType` whose record name matches
// `value`, with partial results not allowed. Throws the directory's ODError
// when the query cannot be built or run. Null records are left out.
[[nodiscard]] std::vector<ODRecordRef> queryRecords(
    DirectoryService& directory, const ODNodeRef& node, std::string_view recordType,
    ODMatchType matchType, const std::vector<std::string>& values,
    std::string_view returnAttributes, std::int64_t maximumResults);

// The values of an attribute when every one of them is text; none otherwise.
[[nodiscard]] std::optional<std::vector<std::string>> textValues(
    const std::vector<ODValue>& values);

}  // namespace lockstep
