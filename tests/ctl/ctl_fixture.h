#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ctl/ctl.h"
#include "platform/directory/local_directory.h"
#include "platform/keychain/sqlite_keychain.h"
#include "support/directory_fixture.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace lockstep::testing {

// A machine in a temporary folder: the real SQLite keychain service with its
// System keychain there, real account files with the user "alice", a restart
// tool that exists, and a log file path. Each test runs lockstepctl's
// commands on it through ctl::run.
class CtlTest : public ::testing::Test {
  public:
    static constexpr std::string_view kPassword = "Sw0rdfish-not-for-output";

    struct Result {
        int status = -1;
        std::string out;
        std::string err;
    };

  protected:
    CtlTest();

    [[nodiscard]] Result ctl(const std::vector<std::string>& arguments);

    [[nodiscard]] ctl::Services services();
    [[nodiscard]] Context context();

    // Stores a credential of the service the way lockstepd's enrolment does.
    void enrol(std::string_view account, std::string_view password = kPassword,
               std::string_view service = "Lockstep");
    // Rewrites the account files with these users only.
    void setUsers(const std::vector<TestUser>& users);
    // Makes the restart tool with these permissions; remove it to take it away.
    void makeTool(std::filesystem::perms mode = std::filesystem::perms(0755));

    [[nodiscard]] std::filesystem::path systemKeychainPath() const {
        return dir_ / "var/lib/lockstep/System.keychain";
    }
    [[nodiscard]] std::filesystem::path toolPath() const { return dir_ / "usr/bin/fdesetup"; }
    [[nodiscard]] std::filesystem::path logPath() const {
        return dir_ / "tmp/lockstep/generic.log";
    }

    LogCapture capture_;
    TempDir dir_;
    std::unique_ptr<TestDirectory> tree_;
    SqliteKeychainService keychain_;
    LocalDirectoryService directory_;
    // What the service answers for the log file; nothing: not known.
    std::optional<std::filesystem::path> logFile_;
};

}  // namespace lockstep::testing
