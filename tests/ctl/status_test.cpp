#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "ctl/commands.h"
#include "ctl_fixture.h"
#include "log/log.h"
#include "log/unified_logger.h"

namespace lockstep::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr int kOk = 0;
constexpr int kNotEnrolled = 2;
constexpr int kPasswordInvalid = 3;
constexpr int kToolMissing = 4;
constexpr int kKeychainUnreadable = 5;

using StatusTest = CtlTest;

TEST_F(StatusTest, ReadyWhenEnrolledPasswordValidAndToolPresent) {
    enrol("alice");
    const Result result = ctl({"status"});
    EXPECT_EQ(result.status, kOk) << result.out;
    EXPECT_THAT(result.out, HasSubstr("enrolled:     yes, account \"alice\", stored "));
    EXPECT_THAT(result.out, HasSubstr("password:     verifies against the local account"));
    EXPECT_THAT(result.out, HasSubstr("is present"));
    EXPECT_THAT(result.out, HasSubstr("status:       ready to arm"));
    EXPECT_EQ(result.err, "");
    EXPECT_THAT(result.out, Not(HasSubstr(kPassword)));
    EXPECT_FALSE(capture_.contains(kPassword)) << capture_.dump();
}

TEST_F(StatusTest, NoKeychainIsNothingEnrolledAndCreatesNothing) {
    const Result result = ctl({"status"});
    EXPECT_EQ(result.status, kNotEnrolled);
    EXPECT_THAT(result.out, HasSubstr("enrolled:     no"));
    EXPECT_THAT(result.out, HasSubstr("password:     not checked"));
    EXPECT_THAT(result.out, HasSubstr("status:       nothing enrolled"));
    EXPECT_THAT(result.out, HasSubstr("System.keychain (none yet)\n"));
    EXPECT_FALSE(fs::exists(systemKeychainPath().parent_path()));
    const auto json = nlohmann::json::parse(ctl({"status", "--json"}).out);
    EXPECT_EQ(json["keychain"]["exists"], false);
    EXPECT_EQ(json["keychain"]["readable"], false);
    EXPECT_TRUE(json["credential"].is_null());
}

TEST_F(StatusTest, KeychainWithOtherServicesOnlyIsNothingEnrolled) {
    enrol("alice", kPassword, "Another");
    EXPECT_EQ(ctl({"status"}).status, kNotEnrolled);
}

// Each way the stored password stops unlocking the account.
TEST_F(StatusTest, PasswordThatNoLongerVerifies) {
    struct Case {
        const char* name;
        std::vector<TestUser> users;
        const char* words;
        const char* result;
    };
    const std::vector<Case> cases = {
        {"changed",
         {{.name = "alice", .uid = 501, .password = "changed since"}},
         "password was changed since enrolment",
         "incorrectPassword"},
        {"gone",
         {{.name = "bob", .uid = 502, .password = "x"}},
         "no usable local account",
         "accountDoesNotExist"},
        {"locked",
         {{.name = "alice",
           .uid = 501,
           .password = std::string(kPassword),
           .state = AccountState::locked}},
         "disabled or locked",
         "accountLocked"},
    };
    enrol("alice");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        setUsers(c.users);
        const Result text = ctl({"status"});
        EXPECT_EQ(text.status, kPasswordInvalid);
        EXPECT_THAT(text.out, HasSubstr(c.words));
        EXPECT_THAT(text.out, HasSubstr("status:       password no longer valid"));
        const Result json = ctl({"status", "--json"});
        EXPECT_EQ(json.status, kPasswordInvalid);
        const auto parsed = nlohmann::json::parse(json.out);
        EXPECT_EQ(parsed["password"]["result"], c.result);
        EXPECT_EQ(parsed["password"]["valid"], false);
        EXPECT_THAT(text.out + json.out, Not(HasSubstr(kPassword)));
    }
}

TEST_F(StatusTest, RestartToolMissingOrNotExecutable) {
    enrol("alice");
    makeTool(fs::perms(0644));
    Result result = ctl({"status"});
    EXPECT_EQ(result.status, kToolMissing);
    EXPECT_THAT(result.out, HasSubstr("MISSING or not executable"));
    fs::remove(toolPath());
    result = ctl({"status"});
    EXPECT_EQ(result.status, kToolMissing);
    EXPECT_THAT(result.out, HasSubstr("status:       restart tool missing"));
}

TEST_F(StatusTest, KeychainThatCannotBeRead) {
    // Not a keychain at all.
    writeFile(systemKeychainPath(), "not a keychain at all", fs::perms(0600));
    Result result = ctl({"status"});
    EXPECT_EQ(result.status, kKeychainUnreadable);
    EXPECT_THAT(result.out, HasSubstr("UNREADABLE"));
    EXPECT_THAT(result.out, HasSubstr("enrolled:     unknown"));

    // A keychain whose key file is not the one it was made with.
    fs::remove(systemKeychainPath());
    enrol("alice");
    writeFile(systemKeychainPath().string() + ".key", std::string(32, 'k'), fs::perms(0600));
    result = ctl({"status"});
    EXPECT_EQ(result.status, kKeychainUnreadable);
    EXPECT_THAT(result.out, HasSubstr("status:       keychain unreadable"));
}

// The first problem decides the exit status: nothing enrolled comes before a
// missing tool.
TEST_F(StatusTest, FirstProblemDecides) {
    fs::remove(toolPath());
    const Result result = ctl({"status"});
    EXPECT_EQ(result.status, kNotEnrolled);
    EXPECT_THAT(result.out, HasSubstr("MISSING"));
}

TEST_F(StatusTest, JsonCarriesTheSameFacts) {
    enrol("bob", "bobs password");
    enrol("alice");
    const Result result = ctl({"status", "--json"});
    ASSERT_EQ(result.status, kOk);
    const auto json = nlohmann::json::parse(result.out);
    EXPECT_EQ(json["ready"], true);
    EXPECT_EQ(json["exitStatus"], 0);
    EXPECT_TRUE(json["problem"].is_null());
    EXPECT_EQ(json["keychain"]["path"], systemKeychainPath().string());
    EXPECT_EQ(json["keychain"]["exists"], true);
    EXPECT_EQ(json["keychain"]["readable"], true);
    // The daemon uses the oldest item of the service.
    EXPECT_EQ(json["credential"]["account"], "bob");
    EXPECT_EQ(json["credential"]["itemsOfService"], 2);
    EXPECT_EQ(json["password"]["result"], "success");
    EXPECT_EQ(json["restartTool"]["present"], true);
    EXPECT_EQ(json["log"]["file"], logPath().string());
    EXPECT_EQ(json["log"]["readable"], false);
    EXPECT_TRUE(json["log"]["lastOutcome"].is_null());
    EXPECT_THAT(result.out, Not(HasSubstr("bobs password")));
}

TEST_F(StatusTest, LastOutcomeFromTheDaemonsLogFile) {
    // Lines written by the real file logger, as lockstepd writes them.
    LoggerEnvironment environment = testLoggerEnvironment(
        dir_.path(), UserDefaults({UserDefaults::Domain{{"showDebug", true}}}));
    environment.processName = "lockstepd";
    MDLUnifiedLogger daemonLogger(std::move(environment));
    daemonLogger.updateLogPath();
    daemonLogger.logString(
        buildLogLine("Failed to authenticate with FileVault", "password_daemon.cpp", 90, "run()"),
        kLogLevelDebug);
    daemonLogger.logString(buildLogLine("Successfully authenticated with FileVault",
                                        "password_daemon.cpp", 90, "run()"),
                           kLogLevelDebug);
    daemonLogger.logString(buildLogLine("checking password", "x.cpp", 1, "other()"),
                           kLogLevelDebug);
    ASSERT_EQ(daemonLogger.hostPath(daemonLogger.logFileURL()), logPath());

    enrol("alice");
    const Result result = ctl({"status"});
    EXPECT_EQ(result.status, kOk);
    EXPECT_THAT(result.out, ::testing::ContainsRegex(
                                "last outcome: [0-9T:+Z-]+ Successfully authenticated with "
                                "FileVault\n"));
}

TEST_F(StatusTest, LogFileNotKnown) {
    logFile_.reset();
    EXPECT_THAT(ctl({"status"}).out, HasSubstr("last outcome: not known"));
    const auto json = nlohmann::json::parse(ctl({"status", "--json"}).out);
    EXPECT_TRUE(json["log"].is_null());
}

}  // namespace
}  // namespace lockstep::testing
