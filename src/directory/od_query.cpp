#include "directory/od_query.h"

#include <utility>

namespace lockstep {

ODError reportedError(std::optional<ODError>& error) {
    if (error.has_value()) {
        return *error;
    }
    return ODError(kODErrorDaemonError,
                   "The directory service reported a failure without an error.");
}

ODNodeRef openLocalNode(DirectoryService& directory, std::optional<ODError>* error) {
    const ODSessionRef session = directory.ODSessionDefaultSession();
    return directory.ODNodeInitWithSession(session, kODNodeTypeLocalNodes, error);
}

std::vector<ODRecordRef> queryRecords(DirectoryService& directory, const ODNodeRef& node,
                                      std::string_view recordType, ODMatchType matchType,
                                      const std::vector<std::string>& values,
                                      std::string_view returnAttributes,
                                      std::int64_t maximumResults) {
    std::optional<ODError> error;
    const ODQueryRef query =
        directory.ODQueryInitWithNode(node, recordType, kODAttributeTypeRecordName, matchType,
                                      values, returnAttributes, maximumResults, &error);
    if (!query) {
        throw reportedError(error);
    }
    std::optional<std::vector<ODRecordRef>> results =
        directory.resultsAllowingPartial(query, false, &error);
    if (!results.has_value()) {
        throw reportedError(error);
    }
    std::vector<ODRecordRef> records;
    records.reserve(results->size());
    for (ODRecordRef& record : *results) {
        if (record) {
            records.push_back(std::move(record));
        }
    }
    return records;
}

std::optional<std::vector<std::string>> textValues(const std::vector<ODValue>& values) {
    std::vector<std::string> texts;
    texts.reserve(values.size());
    for (const ODValue& value : values) {
        const auto* text = std::get_if<std::string>(&value);
        if (text == nullptr) {
            return std::nullopt;
        }
        texts.push_back(*text);
    }
    return texts;
}

}  // namespace lockstep
