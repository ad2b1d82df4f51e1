// The real lockstepd in a sandboxed mount namespace: its own account files,
// keychain folder, log folder and stand-in restart tool.

#include <gtest/gtest.h>

#include <regex>

#include "support/daemon_sandbox.h"
#include "support/temp_dir.h"

namespace lockstep::testing {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;
using Env = std::map<std::string, std::string>;

constexpr char kUser[] = "alice";
constexpr char kPassword[] = "correct horse";
const std::string kEnrolling = "alice ********\n";
const std::string kArmed = "Successfully authenticated with FileVault\n";
const std::string kEnrolled = kEnrolling + kArmed;

// The request that hands the tool this user and password, as recorded.
std::string request(const std::string& user, const std::string& password) {
    return " <plist>\n   <dict>\n         <key>Username</key>\n         <string>" + user +
           "</string>\n         <key>Password</key>\n         <string>" + password +
           "</string>\n   </dict>\n</plist>\n";
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class EndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const auto reason = DaemonSandbox::unavailableReason()) {
            GTEST_SKIP() << "sandbox unavailable: " << *reason;
        }
        sandbox_.emplace();
        addUser(kUser, kPassword, 501);
        sandbox_->installFdesetup();
    }
    DaemonSandbox& sb() { return *sandbox_; }
    void addUser(const std::string& user, const std::string& password, std::uint32_t uid,
                 AccountState state = AccountState::active) {
        sandbox_->accounts().addUser(user, password, uid, state);
        sandbox_->accounts().write();
    }
    DaemonSandbox::Result enrol(const std::string& user, const std::string& password,
                                const Env& environment = {}) {
        return sb().run({"--set-user", "--user", user, "--password", password}, environment);
    }
    std::optional<std::string> toolInput() { return sb().fdesetupRecord("stdin"); }

  private:
    std::optional<DaemonSandbox> sandbox_;
};

TEST_F(EndToEnd, EnrolmentStoresTheCredentialAndPlainRunsArmTheRestart) {
    // A fresh machine: no credential, no keychain made, only the run's record.
    const fs::path folder = sb().systemKeychain().parent_path();
    const auto empty = sb().run({});
    EXPECT_EQ(std::tuple(empty.exitCode, empty.out), std::tuple(0, ""));
    EXPECT_TRUE(has(empty.err, "Lockstep not found in keychain")) << empty.err;
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), {}), 1);
    EXPECT_TRUE(fs::exists(folder / "last-run") && !toolInput());

    // Markup and a carriage return reach the tool escaped, and a plain run hands the stored
    // credential over the same way.
    const std::string password = "a<b&c>d\"'\r";
    addUser("dave", password, 505);
    EXPECT_EQ(enrol("dave", password).out, "dave ********\n" + kArmed);
    fs::remove(sb().path() / "fdesetup-record.stdin");
    const auto plain = sb().run({});
    EXPECT_EQ(std::tuple(plain.exitCode, plain.out), std::tuple(0, kArmed));
    EXPECT_EQ(sb().fdesetupRecord("args"),
              std::string("authrestart\0-delayminutes\0-1\0-inputplist\0", 41));
    EXPECT_EQ(toolInput(), request("dave", "a&lt;b&amp;c&gt;d&quot;&apos;&#13;"));

    // The tool refusing the next request makes the last arming a failure.
    const auto status = sb().runScript(
        "\"$LOCKSTEPD\" >/dev/null 2>&1; \"$LOCKSTEPCTL\" status || echo \"exit $?\"",
        {{"FAKE_FDESETUP_END", "2"}, {"FAKE_FDESETUP_OUTPUT", "2:request refused"}});
    EXPECT_TRUE(std::regex_search(
        status.out, std::regex("\nstatus: +last arming failed: /usr/bin/fdesetup exited with "
                               "status 2 after \\d+ ms: \"request refused\"\nexit 7\n")))
        << status.out << status.err;
}

// A refused enrolment prints its line, keeps the stored credential and arms
// nothing; so does one into a keychain folder without room.
TEST_F(EndToEnd, RefusedEnrolmentsKeepTheStoredCredential) {
    ASSERT_EQ(enrol(kUser, kPassword).out, kEnrolled);
    const KeychainContents before = readKeychain(sb().systemKeychain());
    sb().setPassword(kUser, "new pw");
    const std::string script = R"(k=/var/lib/lockstep
        if [ -n "$FULL" ]; then
            cp -p "$SANDBOX"/var-lib/lockstep/System.keychain* "$k/"
            dd if=/dev/zero of="$k/filler" bs=4096 2>/dev/null || true
        fi
        "$LOCKSTEPD" --set-user --user alice --password "$P"
        rm -rf "$SANDBOX/after" && mkdir "$SANDBOX/after" && cp -p "$k"/System.keychain* "$SANDBOX/after/")";
    fs::remove(sb().path() / "fdesetup-record.stdin");
    for (const auto& [password, full, line] : {std::tuple{"wrong", false, "incorrect password\n"},
                                               {"new pw", true, "password set failed\n"}}) {
        sb().setKeychainTmpfs(full ? std::optional<std::string>("256k") : std::nullopt);
        const auto result = sb().runScript(script, {{"P", password}, {"FULL", full ? "1" : ""}});
        EXPECT_EQ(std::tuple(result.exitCode, result.out), std::tuple(0, kEnrolling + line))
            << result.err;
        EXPECT_EQ(readKeychain(sb().path() / "after/System.keychain"), before);
        EXPECT_FALSE(toolInput());
    }
}

// With showDebug the log file holds every line, timestamped; the password in
// clear is nowhere but in the request on the tool's standard input. The
// process keeps no core file, and output to a pipe whose reader has gone
// does not stop it.
TEST_F(EndToEnd, LogFileCoreDumpsAndClosedStreamsKeepThePasswordIn) {
    sb().setPreferences("<key>showDebug</key><string>YES</string>");
    const auto result =
        sb().runScript(R"({ sleep 1; "$LOCKSTEPD" -s -u alice -p ')" + std::string(kPassword) +
                           R"('; echo $? >"$SANDBOX/status"; } 2>&1 | true)",
                       {{"FAKE_FDESETUP_PARENT", "1"}});
    EXPECT_EQ(std::tuple(result.exitCode, readFile(sb().path() / "status")), std::tuple(0, "0\n"));
    EXPECT_EQ(toolInput(), request(kUser, kPassword));
    EXPECT_TRUE(std::regex_search(sb().fdesetupRecord("parent-limits").value_or(""),
                                  std::regex(R"(Max core file size +0 +0 )")));
    const fs::path logFolder = sb().path() / "tmp/lockstep", logFile = logFolder / "generic.log";
    const std::string log = readFile(logFile);
    EXPECT_TRUE(std::regex_search(
        log,
        std::regex(
            R"(:\d\d(Z|[+-]\d\d:\d\d) lockstepd\(\d+\):  +password_daemon\.cpp:\d+ run\(\) Successfully)")))
        << log;
    EXPECT_EQ(fs::status(logFolder).permissions(), fs::perms(0770));
    // Nor in the keychain, its journal, the tool's arguments and environment, the logs.
    std::string everywhere =
        readFile(sb().systemKeychain()) + readFile(sb().systemKeychain().string() + "-journal") +
        sb().fdesetupRecord("args").value() + sb().fdesetupRecord("env").value();
    for (const auto& entry : fs::directory_iterator(logFolder))
        everywhere += readFile(entry.path());
    EXPECT_FALSE(has(everywhere, kPassword));
}

// Usage errors exit 64 with the usage and without the password, help wins,
// and an incomplete enrolment takes the plain path.
TEST_F(EndToEnd, UsageErrorsHelpAndIncompleteEnrolments) {
    const std::string usage = "\nUsage: lockstepd [--set-user]", password = kPassword;
    for (const auto& [arguments, exitCode, shown] :
         {std::tuple{Args{"-s", "-u", kUser, "-p" + password}, 64, usage},
          {Args{"--", "-p", password}, 64, usage},
          {Args{"-s", "-u", kUser, "-p", password, "-h"}, 0, "user password to put into keychain"},
          {Args{"--set-user", "--user", kUser}, 0, ""},
          {Args{"--user", kUser, "--password", password}, 0, ""}}) {
        const auto result = sb().run(arguments);
        EXPECT_EQ(std::tuple(result.exitCode, result.out.empty()),
                  std::tuple(exitCode, exitCode == 64 || shown.empty()));
        EXPECT_TRUE(has(result.out + result.err, shown) && !has(result.err, kPassword))
            << result.err;
    }
    EXPECT_TRUE(readKeychain(sb().systemKeychain()).items.empty());
}

// A System keychain that enrolment cannot use (its key readable by others):
// the credential goes to root's own keychain, and the run at boot, with /root
// read only as the service unit leaves it, still reads it from there.
TEST_F(EndToEnd, AFallbackKeychainIsReadAtBootUnderAReadOnlyHome) {
    ASSERT_EQ(enrol(kUser, kPassword).out, kEnrolled);
    fs::permissions(sb().systemKeychain().string() + ".key", fs::perms(0644));
    sb().setPassword(kUser, "new password");
    ASSERT_EQ(enrol(kUser, "new password").out, kEnrolled);
    ASSERT_TRUE(fs::exists(sb().path() / "root/.local/share/lockstep/login.keychain"));
    sb().setReadOnlyHome(true);
    const auto boot = sb().run({});
    EXPECT_EQ(std::tuple(boot.exitCode, boot.out, toolInput()),
              std::tuple(0, kArmed, request(kUser, "new password")))
        << boot.err;
    EXPECT_TRUE(has(boot.err, "System keychain not available"));
}

}  // namespace
}  // namespace lockstep::testing
