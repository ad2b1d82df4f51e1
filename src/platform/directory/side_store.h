#pragma once

// Native attributes ("dsAttrTypeNative:…") that the account files cannot
// hold, kept as one property list per record:
//   <folder>/users/<encoded name>.plist, <folder>/groups/<encoded name>.plist
// Each file is a dictionary from attribute name to an array of strings and
// data values.

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/directory/directory.h"

namespace lockstep {

using ODAttributes = std::map<std::string, std::vector<ODValue>, std::less<>>;

class SideStore {
  public:
    explicit SideStore(std::filesystem::path folder) : folder_(std::move(folder)) {}

    // The file of a record, or nothing when the record type has no store or
    // the name cannot be made into a file name.
    [[nodiscard]] std::optional<std::filesystem::path> pathFor(std::string_view recordType,
                                                               std::string_view name) const;

    // The record's native attributes. A missing, unreadable or damaged file,
    // and entries of the wrong shape, give no attributes: a damaged side file
    // must not make the record unusable.
    [[nodiscard]] ODAttributes read(std::string_view recordType, std::string_view name) const;

    // Sets `attribute` to the single `value`, keeping every other entry. A
    // damaged existing file is refused, not overwritten. The caller holds the
    // account-files lock.
    [[nodiscard]] std::optional<ODError> setValue(std::string_view recordType,
                                                  std::string_view name, std::string_view attribute,
                                                  const ODValue& value) const;

    // The file name for a record name: letters, digits, "-" and "_" kept,
    // every other byte written as %XX, so any name gives a distinct, safe
    // name. Nothing for an empty or overly long name.
    [[nodiscard]] static std::optional<std::string> encodeName(std::string_view name);

  private:
    std::filesystem::path folder_;
};

}  // namespace lockstep
