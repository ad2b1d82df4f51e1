// The run flow in process, on a real keychain and real account files in a
// temporary folder, with the stand-in restart tool and a recording system log.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <functional>
#include <tuple>

#include "fault_fixtures.h"
#include "support/directory_fixture.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace lockstep::testing {
namespace {

namespace fs = std::filesystem;

constexpr char kSecret[] = "S3cret-8f2e horse";

class RunFlow : public ::testing::Test {
  protected:
    RunFlow() { accounts_.addUser(kUser, kSecret, 501); }

    void SetUp() override {
        if (const auto reason = untrustedTestProgramsReason()) {
            GTEST_SKIP() << *reason;
        }
    }

    TempDir dir_;
    TestDirectory accounts_{dir_ / "machine"};
    TestMachine machine_{accounts_.root(), dir_ / "keychains"};
};

std::optional<std::string> contents(const fs::path& file) {
    return fs::exists(file) ? std::optional(readFile(file)) : std::nullopt;
}

// The outcome of the request is logged and printed; the password reaches
// neither the system log, standard error nor the log file.
TEST_F(RunFlow, PlainRunLogsAndPrintsTheOutcomeButNeverThePassword) {
    LogCapture capture;
    ASSERT_EQ(machine_.run({.setUser = true, .user = kUser, .password = kSecret}), kEnrolled);
    const auto items = readKeychain(TestMachine::systemKeychain(dir_ / "keychains")).itemsOf(kUser);
    ASSERT_EQ(items.size(), 1U);
    EXPECT_EQ(items[0].password, kSecret);

    EXPECT_EQ(machine_.run({}), kArmed);
    EXPECT_TRUE(capture.contains("run() Successfully authenticated with FileVault"))
        << capture.dump();
    ::setenv("FAKE_FDESETUP_END", "1", 1);
    EXPECT_EQ(machine_.run({}), kNotArmed);
    ::unsetenv("FAKE_FDESETUP_END");

    ASSERT_TRUE(capture.systemContains("setting new password success"));
    for (const auto& entry : capture.systemEntries()) {
        EXPECT_EQ(entry.message.find(kSecret), std::string::npos) << entry.message;
    }
    EXPECT_FALSE(capture.contains(kSecret));
    EXPECT_EQ(capture.standardError().find(kSecret), std::string::npos);
    EXPECT_EQ(capture.logFileContents().find(kSecret), std::string::npos);
}

TEST_F(RunFlow, WithoutTheSystemKeychainTheUserKeychainIsUsed) {
    // A folder where the System keychain file should be: it cannot be opened.
    std::filesystem::create_directories(TestMachine::systemKeychain(dir_ / "keychains"));
    EXPECT_EQ(machine_.run({.setUser = true, .user = kUser, .password = kSecret}), kEnrolled);
    EXPECT_TRUE(std::filesystem::exists(dir_ / "keychains/login.keychain"));
    EXPECT_EQ(machine_.run({}), kArmed);
}

// A damaged System keychain or key: the plain run prints nothing, logs why
// the System keychain could not be used, that the user's keychain was tried
// instead and that no credential was found, and changes neither file.
TEST_F(RunFlow, ADamagedKeychainIsLeftAloneAndTheLogTellsWhy) {
    const fs::path keychain = TestMachine::systemKeychain(dir_ / "keychains");
    const fs::path key = keychain.string() + ".key";
    ASSERT_EQ(machine_.run({.setUser = true, .user = kUser, .password = kSecret}), kEnrolled);
    const std::string savedKeychain = readFile(keychain);
    const std::string savedKey = readFile(key);
    const auto overwrite = [](const fs::path& file, std::size_t from, std::size_t to) {
        std::string bytes = readFile(file);
        for (auto i = from; i < std::min(to, bytes.size()); ++i) {
            bytes[i] = static_cast<char>(0x5A ^ (i & 0xFF));
        }
        writeFile(file, bytes, fs::perms(0600));
    };
    const std::vector<std::tuple<const char*, std::string, std::function<void()>>> damages = {
        {"header overwritten", "(status -25295)", [&] { overwrite(keychain, 0, 32); }},
        {"pages overwritten", "(status -", [&] { overwrite(keychain, 4096, SIZE_MAX); }},
        {"truncated", "(status -", [&] { fs::resize_file(keychain, savedKeychain.size() - 1000); }},
        {"key too short", "(status -", [&] { fs::resize_file(key, 31); }},
        {"key too long", "(status -", [&] { fs::resize_file(key, 33); }},
        {"key of another keychain", "(status -", [&] { overwrite(key, 0, 32); }},
        {"key readable by others", "(status -", [&] { fs::permissions(key, fs::perms(0644)); }},
        {"key missing", "(status -", [&] { fs::remove(key); }},
    };
    for (const auto& [name, status, damage] : damages) {
        writeFile(keychain, savedKeychain, fs::perms(0600));
        writeFile(key, savedKey, fs::perms(0600));
        damage();
        const auto files = [&] {
            return std::tuple(contents(keychain), contents(key), fs::status(key).permissions());
        };
        const auto before = files();
        fs::remove(dir_ / "keychains/login.keychain");

        LogCapture capture;
        EXPECT_EQ(TestMachine(accounts_.root(), dir_ / "keychains").run({}), "") << name;
        EXPECT_TRUE(capture.contains(
            kLogLevelError,
            "System keychain not available: SecretKeeperError.errorFindingKey" + status))
            << name << ": " << capture.dump();
        EXPECT_TRUE(capture.systemContains("using user keychain")) << name;
        EXPECT_TRUE(capture.contains(kLogLevelError, "Lockstep not found in keychain")) << name;
        EXPECT_TRUE(files() == before) << name;
        EXPECT_FALSE(fs::exists(keychain.string() + "-journal")) << name;
    }
}

}  // namespace
}  // namespace lockstep::testing
