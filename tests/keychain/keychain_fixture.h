#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "faulty_keychain.h"
#include "keychain/keychain_util.h"
#include "platform/context.h"
#include "platform/keychain/sqlite_keychain.h"
#include "platform/plist.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace lockstep::testing {

// A partition description's contents: text keys to lists of texts.
using TextLists = std::map<std::string, std::vector<std::string>>;

// The real keychain service on a temporary folder, behind the fault switches,
// with the log captured. The bundle folder and the machine root are empty
// folders until a test places candidate programs in them.
class KeychainUtilTest : public ::testing::Test {
  protected:
    KeychainUtilTest();

    [[nodiscard]] std::filesystem::path bundlePath() const { return dir_ / "bundle"; }
    [[nodiscard]] std::filesystem::path machineRoot() const { return dir_ / "root"; }
    [[nodiscard]] std::filesystem::path helperPath() const {
        return bundlePath() / "Contents/MacOS/lockstephelper";
    }
    [[nodiscard]] std::filesystem::path daemonPath() const {
        return machineRoot() / "Applications/Lockstep.app/Contents/MacOS/lockstepd";
    }
    [[nodiscard]] std::filesystem::path authorizationHostPath() const {
        return machineRoot() /
               "System/Library/Frameworks/Security.framework/Versions/A/MachServices/"
               "authorizationhost.bundle/Contents/MacOS/authorizationhost";
    }
    // Creates the product's programs and the authorisation host.
    void installAllCandidates() const;

    [[nodiscard]] std::optional<PasswordItem> find(std::optional<std::string_view> account,
                                                   std::string_view service = "Lockstep");
    // The item's stored ACL list, read straight from the service.
    [[nodiscard]] std::vector<SecACLRef> storedAcls(const SecKeychainItemRef& item);

    LogCapture capture_;
    TempDir dir_;
    SqliteKeychainService real_;
    FaultyKeychainService service_{real_};
    UnusedDirectoryService directory_;
    Context ctx_;
    SecKeychainRef keychain_;
};

// Hexadecimal text of a property list holding `lists`, as a partition
// description is written.
[[nodiscard]] std::string describe(const TextLists& lists, PlistFormat format);

struct Description {
    TextLists lists;
    PlistFormat format;
};
// Reads a partition description back; nothing when it is not one.
[[nodiscard]] std::optional<Description> readDescription(std::string_view hex);

// Paths of an application list, in order; "(any)" for no list.
[[nodiscard]] std::vector<std::string> paths(const SecApplicationList& applications);

[[nodiscard]] bool hasTag(const SecACL& acl, std::string_view tag);

}  // namespace lockstep::testing
