#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "directory/ds_queryable.h"
#include "platform/context.h"
#include "platform/directory/local_directory.h"
#include "support/directory_fixture.h"
#include "support/log_capture.h"

namespace lockstep::testing {

// The smallest type that takes up the facility.
class Queryable final : public DSQueryable {
  public:
    explicit Queryable(const Context& context) : DSQueryable(context) {}
};

// A real directory over a temporary account tree, behind a double that can
// be told to fail, and the log of everything the facility says.
class DSQueryableTest : public ::testing::Test {
  protected:
    using Entry = RecordingSystemLog::Entry;

    // What went straight to the unified system log (not through a log call).
    [[nodiscard]] std::vector<Entry> osEntries() const {
        std::vector<Entry> entries;
        for (const Entry& entry : capture.systemEntries()) {
            if (!entry.message.starts_with("LOCKSTEP_LOG:")) {
                entries.push_back(entry);
            }
        }
        return entries;
    }
    [[nodiscard]] bool osLogged(LogType type, std::string_view message) const {
        for (const Entry& entry : osEntries()) {
            if (entry.type == type && entry.message == message) {
                return true;
            }
        }
        return false;
    }
    // Whether a log call of this level, from this operation, said exactly this.
    [[nodiscard]] bool logged(std::int64_t level, std::string_view function,
                              std::string_view message) const {
        const std::string tail =
            std::string(" ") + std::string(function) + " " + std::string(message);
        for (const LoggedLine& line : capture.lines(level)) {
            if (line.text.ends_with(tail)) {
                return true;
            }
        }
        return false;
    }
    [[nodiscard]] static std::vector<std::string> names(const std::vector<ODRecordRef>& records) {
        std::vector<std::string> result;
        for (const ODRecordRef& record : records) {
            result.push_back(record->recordName());
        }
        return result;
    }
    // A record fetched without going through the facility.
    [[nodiscard]] ODRecordRef fetch(std::string_view recordType, const std::string& name) {
        std::optional<ODError> error;
        const ODNodeRef node = real.ODNodeInitWithSession(real.ODSessionDefaultSession(),
                                                          kODNodeTypeLocalNodes, &error);
        const ODQueryRef query =
            real.ODQueryInitWithNode(node, recordType, kODAttributeTypeRecordName, kODMatchEqualTo,
                                     {name}, kODAttributeTypeNativeOnly, 0, &error);
        const auto records = real.resultsAllowingPartial(query, false, &error);
        EXPECT_TRUE(records.has_value() && records->size() == 1) << name;
        return records.has_value() && !records->empty() ? records->front() : nullptr;
    }

    LogCapture capture;
    TestDirectory tree;
    LocalDirectoryService real{tree.root(), std::chrono::milliseconds(100)};
    FaultyDirectoryService directory{real};
    UnavailableKeychainService keychain;
    Context context{keychain, directory, "/usr/bin/fdesetup", {}, "/"};
    Queryable queryable{context};
};

}  // namespace lockstep::testing
