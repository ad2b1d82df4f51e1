#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/directory/local_directory.h"
#include "support/temp_dir.h"

namespace lockstep::testing::local_directory {

// A crypt(3) hash of `password` made with libxcrypt for the given method
// prefix ("$y$", "$6$").
[[nodiscard]] std::string hashOf(const std::string& password, const char* prefix);

inline constexpr std::string_view kPasswd =
    "root:x:0:0:root:/root:/bin/bash\n"
    "alice:x:1001:1001:Alice Liddell,Room 1,,:/home/alice:/bin/bash\n"
    "bob:x:1002:20:Bob:/home/bob:/bin/zsh\n"
    "carol:x:1003:1003::/home/carol:/bin/sh\n";
inline constexpr std::string_view kGroup =
    "root:x:0:\n"
    "admin:x:20:carol\n"
    "alice:x:1001:\n"
    "carol:x:1003:\n";
inline constexpr std::string_view kGShadow =
    "root:*::\n"
    "admin:!::carol\n"
    "alice:!::\n";

// A temporary machine root with account files and a service over it.
class DirectoryTest : public ::testing::Test {
  protected:
    DirectoryTest();

    void writeEtc(const std::string& name, std::string_view contents, unsigned mode = 0644);
    [[nodiscard]] std::string readEtc(const std::string& name) const;
    [[nodiscard]] std::filesystem::path etc(const std::string& name) const;

    [[nodiscard]] ODNodeRef localNode();
    // Runs a query that must succeed.
    [[nodiscard]] std::vector<ODRecordRef> query(
        std::string_view recordType, std::vector<std::string> values,
        ODMatchType match = kODMatchEqualTo,
        std::string_view returnAttributes = kODAttributeTypeNativeOnly, std::int64_t maximum = 0);
    // The one record of that name.
    [[nodiscard]] ODRecordRef user(const std::string& name);
    [[nodiscard]] ODRecordRef group(const std::string& name);

    [[nodiscard]] static std::vector<std::string> names(const std::vector<ODRecordRef>& records);
    [[nodiscard]] static std::vector<std::string> texts(const std::vector<ODValue>& values);

    TempDir root;
    LocalDirectoryService service{root.path(), std::chrono::milliseconds(100)};
};

}  // namespace lockstep::testing::local_directory
