// lockstepctl's commands on a machine in a temporary folder, and the
// installed program itself.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "ctl/commands.h"
#include "keychain/keychain_util.h"
#include "log/log.h"
#include "log/unified_logger.h"
#include "platform/directory/local_directory.h"
#include "platform/keychain/sqlite_keychain.h"
#include "platform/process.h"
#include "support/directory_fixture.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace lockstep::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using Json = nlohmann::json;

constexpr std::string_view kPassword = "Sw0rdfish-not-for-output";

struct Result {
    int status = -1;
    std::string out, err;
};

// A machine in a temporary folder: the real SQLite keychain service with its
// System keychain there, real account files with the users "alice" and "bob",
// a restart tool that exists, and a log file path.
class CtlTest : public ::testing::Test {
  protected:
    CtlTest() {
        setUsers({{.name = "alice", .uid = 501, .password = std::string(kPassword)},
                  {.name = "bob", .uid = 502, .password = "bobs password"}});
        writeFile(toolPath(), "#!/bin/sh\nexit 0\n", fs::perms(0755));
    }

    // Runs one lockstepctl command line through ctl::run.
    [[nodiscard]] Result ctl(const std::vector<std::string>& arguments) {
        std::ostringstream out;
        std::ostringstream err;
        const int status =
            ctl::run(arguments,
                     {.context = context_,
                      .systemKeychainPath = systemKeychainPath(),
                      .logFile = [this] { return logFile_; },
                      .restart = {.armed = [this] { return armed_; },
                                  .unload =
                                      [this] {
                                          ++unloads_;
                                          if (unloadError_ == 0) {
                                              armed_ = false;
                                          }
                                          return unloadError_;
                                      },
                                  .unsupportedReason = [this] { return unsupported_; }}},
                     out, err);
        return {status, out.str(), err.str()};
    }

    // Stores a credential of the service the way lockstepd's enrolment does.
    void enrol(std::string_view account, std::string_view password = kPassword,
               std::string_view service = "Lockstep") {
        SecKeychainRef system;
        ASSERT_EQ(keychain_.SecKeychainCopyDomainDefault(kSecPreferencesDomainSystem, &system),
                  errSecSuccess);
        ASSERT_TRUE(KeychainUtil::updatePassword(context_, service, account, password, "", system));
    }

    // Rewrites the account files with these users only.
    void setUsers(const std::vector<TestUser>& users) {
        tree_ = std::make_unique<TestDirectory>(dir_ / "machine");
        for (const TestUser& user : users) {
            tree_->addUser(user);
        }
        tree_->write();
    }

    fs::path systemKeychainPath() const { return dir_ / "var/lib/lockstep/System.keychain"; }
    fs::path toolPath() const { return dir_ / "usr/bin/fdesetup"; }
    fs::path logPath() const { return dir_ / "tmp/lockstep/generic.log"; }

    LogCapture capture_;
    TempDir dir_;
    std::unique_ptr<TestDirectory> tree_;
    SqliteKeychainService keychain_{
        {.systemKeychainPath = systemKeychainPath(),
         .userKeychainPath = dir_ / "root/.local/share/lockstep/login.keychain",
         .callingProgramPath = std::nullopt}};
    LocalDirectoryService directory_{dir_ / "machine"};
    Context context_{.keychain = keychain_,
                     .directory = directory_,
                     .fdesetupPath = toolPath(),
                     .bundlePath = dir_ / "bundle",
                     .machineRoot = dir_ / "machine"};
    // What the service answers for the log file; nothing: not known.
    std::optional<fs::path> logFile_ = logPath();
    // The kernel's kexec state, as the restart service reports it.
    std::optional<bool> armed_ = false;
    int unloadError_ = 0;
    int unloads_ = 0;
    std::optional<std::string> unsupported_;
};

// The status line (and JSON problem) of each exit status.
constexpr const char* kVerdicts[] = {"ready to arm",         "",
                                     "nothing enrolled",     "password no longer valid",
                                     "restart tool missing", "keychain unreadable"};

class StatusTest : public CtlTest {
  protected:
    // Runs status as text and as JSON: the same exit status and verdict, the
    // texts `says`, the password check's verdict (nothing: none made). status
    // never creates the keychain, never shows or logs the secret.
    void expectStatus(int exitStatus, const std::vector<std::string>& says,
                      const char* passwordResult) {
        SCOPED_TRACE(says.front());
        const bool keychainExisted = fs::exists(systemKeychainPath());
        const Result text = ctl({"status"});
        const Result json = ctl({"status", "--json"});
        EXPECT_EQ(text.status, exitStatus) << text.out;
        EXPECT_EQ(json.status, exitStatus);
        EXPECT_THAT(text.out, HasSubstr("\nstatus:       " + std::string(kVerdicts[exitStatus])));
        for (const std::string& words : says) {
            EXPECT_THAT(text.out, HasSubstr(words));
        }
        const Json parsed = Json::parse(json.out);
        EXPECT_EQ(parsed["exitStatus"], exitStatus);
        EXPECT_EQ(parsed["ready"], exitStatus == 0);
        EXPECT_EQ(parsed["problem"], exitStatus == 0 ? Json() : Json(kVerdicts[exitStatus]));
        EXPECT_EQ(parsed["password"]["result"], passwordResult ? Json(passwordResult) : Json());
        EXPECT_EQ(parsed["credential"].is_null(),
                  text.out.find("enrolled:     yes") == std::string::npos);
        EXPECT_EQ(parsed["keychain"]["exists"], keychainExisted);
        EXPECT_EQ(parsed["keychain"]["readable"], keychainExisted && exitStatus != 5);
        EXPECT_EQ(text.err + json.err, "");
        EXPECT_THAT(text.out + json.out,
                    AllOf(Not(HasSubstr(kPassword)), Not(HasSubstr("bobs password"))));
        EXPECT_FALSE(capture_.contains(kPassword)) << capture_.dump();
        EXPECT_EQ(fs::exists(systemKeychainPath().parent_path()), keychainExisted);
    }
};

// Ready with two credentials stored: lockstepd uses the oldest. The log file
// is not followed where it is a link.
TEST_F(StatusTest, Ready) {
    enrol("bob", "bobs password");
    enrol("alice");
    writeFile(logPath().parent_path() / "elsewhere.log", "");
    fs::create_symlink("elsewhere.log", logPath());
    expectStatus(0,
                 {"enrolled:     yes, account \"bob\", stored ",
                  "2 credentials are stored; lockstepd uses this one, the oldest",
                  "password:     verifies against the local account", "fdesetup is present"},
                 "success");
    const Json json = Json::parse(ctl({"status", "--json"}).out);
    EXPECT_EQ(json["keychain"]["path"], systemKeychainPath().string());
    EXPECT_EQ(json["credential"]["account"], "bob");
    EXPECT_EQ(json["credential"]["itemsOfService"], 2);
    EXPECT_EQ(json["restartTool"]["present"], true);
    EXPECT_EQ(json["log"]["file"], logPath().string());
    EXPECT_EQ(json["log"]["readable"], false);
}

// Nothing enrolled is reported before a missing tool.
TEST_F(StatusTest, NothingEnrolled) {
    fs::remove(toolPath());
    expectStatus(2, {"System.keychain (none yet)\n", "enrolled:     no", "MISSING"}, nullptr);
    enrol("alice", kPassword, "Another");
    expectStatus(2, {"enrolled:     no"}, nullptr);
}

TEST_F(StatusTest, PasswordNoLongerValid) {
    enrol("alice");
    setUsers({{.name = "alice", .uid = 501, .password = "changed since"}});
    expectStatus(3, {"password was changed since enrolment"}, "incorrectPassword");
    setUsers({{.name = "bob", .uid = 502}});
    expectStatus(3, {"no usable local account"}, "accountDoesNotExist");
    setUsers(
        {{.name = "alice", .password = std::string(kPassword), .state = AccountState::locked}});
    expectStatus(3, {"disabled or locked"}, "accountLocked");
}

TEST_F(StatusTest, RestartToolMissing) {
    enrol("alice");
    fs::permissions(toolPath(), fs::perms(0644));
    expectStatus(4, {"fdesetup: MISSING or not executable"}, "success");
    fs::remove(toolPath());
    expectStatus(4, {"fdesetup: MISSING or not executable"}, "success");
}

TEST_F(StatusTest, KeychainUnreadable) {
    writeFile(systemKeychainPath(), "not a keychain", fs::perms(0600));
    expectStatus(5, {"UNREADABLE", "enrolled:     unknown"}, nullptr);
    // A key file that is not the one the keychain was made with.
    fs::remove(systemKeychainPath());
    enrol("alice");
    writeFile(systemKeychainPath().string() + ".key", std::string(32, 'k'), fs::perms(0600));
    expectStatus(5, {"UNREADABLE"}, nullptr);
}

// Lines written by the real file loggers of lockstepd and of lockstepctl: the
// newest outcome of lockstepd counts, not lockstepctl's lines nor other
// functions' or messages.
TEST_F(StatusTest, LastOutcomeFromTheDaemonsLogFile) {
    const auto logger = [this](const char* program) {
        LoggerEnvironment environment = testLoggerEnvironment(
            dir_.path(), UserDefaults({UserDefaults::Domain{{"showDebug", true}}}));
        environment.processName = program;
        auto made = std::make_unique<MDLUnifiedLogger>(std::move(environment));
        made->updateLogPath();
        return made;
    };
    const auto daemon = logger("lockstepd");
    const auto tool = logger("lockstepctl");
    const auto log = [](MDLUnifiedLogger& by, const std::string& function, const char* message) {
        by.logString(buildLogLine(message, "file.cpp", 9, function), kLogLevelDebug);
    };
    enrol("alice");
    const std::vector<std::pair<std::string, const char*>> outcomes = {
        {"run()", "Successfully authenticated with FileVault"},
        {"run()", "Failed to authenticate with FileVault"},
        {"findPassword(serviceName:accountName:keychain:)", "Lockstep not found in keychain"},
        {"updatePassword(serviceName:accountName:pass:keychainPassword:keychain:)",
         "setting new password FAILURE: accountname:alice"}};
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        log(*daemon, outcomes[i].first, outcomes[i].second);
        log(*daemon, "run()", "checking");
        log(*daemon, "other()", "Lockstep not found in keychain");
        // lockstepctl's lines are no runs (another each time: a logger folds repeats).
        log(*tool, outcomes[(i + 1) % 4].first, outcomes[(i + 1) % 4].second);
        EXPECT_THAT(ctl({"status"}).out,
                    ::testing::ContainsRegex("last outcome: [0-9T:+Z-]+ " +
                                             std::string(outcomes[i].second) + "\n"));
    }
    logFile_.reset();
    EXPECT_THAT(ctl({"status"}).out, HasSubstr("last outcome: not known"));
    EXPECT_TRUE(Json::parse(ctl({"status", "--json"}).out)["log"].is_null());
}

// A large file is read from its end.
TEST(LastOutcome, LargeFileIsReadFromItsEnd) {
    TempDir dir;
    writeFile(dir / "generic.log", std::string(5U << 20U, '\n') +
                                       "2026-02-02T00:00:00Z lockstepd(2):       f.cpp:1 run() "
                                       "Successfully authenticated with FileVault\n");
    const auto finding = ctl::findLastOutcome(dir / "generic.log");
    ASSERT_TRUE(finding.lastOutcome);
    EXPECT_EQ(finding.lastOutcome->time, "2026-02-02T00:00:00Z");
}

// ---- list, show, disarm ------------------------------------------------------

TEST_F(CtlTest, ListAndShowGiveAttributesAndAclsButNoSecret) {
    enrol("alice");
    enrol("bob", "bobs password");
    enrol("carol", "carols password", "Other");
    const Result list = ctl({"list"});
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_THAT(list.out, HasSubstr("keychain: " + systemKeychainPath().string()));
    EXPECT_THAT(list.out, HasSubstr("item 1\n  service:      Lockstep\n  account:      alice\n"));
    EXPECT_THAT(list.out, HasSubstr("item 3\n  service:      Other\n  account:      carol\n"));
    EXPECT_THAT(list.out, HasSubstr("created:      "));
    EXPECT_THAT(list.out, HasSubstr("ACLAuthorizationDecrypt"));
    // The partition list that enrolment writes, read back from its hex text.
    EXPECT_THAT(list.out, HasSubstr("partitions:   apple:, teamid:Q7M4ZK2RTD\n"));
    // No secret: neither alice's nor bob's or carol's ("...s password").
    EXPECT_THAT(list.out + list.err,
                AllOf(Not(HasSubstr(kPassword)), Not(HasSubstr("s password"))));

    const Result show = ctl({"show", "Lockstep", "--account", "bob"});
    EXPECT_EQ(show.status, 0);
    EXPECT_THAT(show.out, AllOf(HasSubstr("account:      bob"), Not(HasSubstr("alice"))));
    EXPECT_THAT(ctl({"show", "Lockstep"}).out,
                AllOf(HasSubstr("alice"), HasSubstr("bob"), Not(HasSubstr("carol"))));
    const Result none = ctl({"show", "Lockstep", "--account", "dave"});
    EXPECT_EQ(none.status, 2);
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(none.err, "lockstepctl: no item of service \"Lockstep\" for account \"dave\" in " +
                            systemKeychainPath().string() + "\n");
}

TEST_F(CtlTest, UnreadableKeychainFilesAreOneLineErrors) {
    writeFile(dir_ / "junk.keychain", "junk");
    for (const fs::path& file : {dir_ / "missing.keychain", dir_ / "junk.keychain"}) {
        const Result result = ctl({"list", "--keychain", file.string()});
        EXPECT_EQ(result.status, 5);
        EXPECT_EQ(result.out, "");
        EXPECT_THAT(result.err, StartsWith("lockstepctl: cannot read " + file.string()));
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1);
    }
    // A System keychain that does not exist yet simply holds nothing.
    EXPECT_THAT(ctl({"list"}).out, HasSubstr("(no items)"));
    EXPECT_FALSE(fs::exists(systemKeychainPath()));
}

// disarm removes the service's credentials from the System keychain: all, or
// one account's (an empty account would match every account: refused).
TEST_F(CtlTest, DisarmRemovesTheStoredCredentials) {
    EXPECT_EQ(ctl({"disarm"}).status, 2);
    EXPECT_FALSE(fs::exists(systemKeychainPath().parent_path()));
    enrol("alice");
    enrol("bob", "bobs password");
    enrol("erin");
    enrol("carol", "x", "Other");
    EXPECT_EQ(ctl({"disarm", "--account", ""}).status, 2);
    EXPECT_EQ(ctl({"disarm", "--account", "bob"}).out,
              "removed 1 stored credential of service \"Lockstep\" for account \"bob\"\n"
              "2 other credentials of service \"Lockstep\" remain; lockstepd still arms restarts "
              "with the oldest\n");
    EXPECT_EQ(ctl({"disarm", "--account", "bob"}).status, 2);
    Result result = ctl({"disarm"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "removed 2 stored credentials of service \"Lockstep\"\n");
    EXPECT_TRUE(capture_.contains("removed 2 stored credential(s) of service Lockstep"));
    EXPECT_THAT(ctl({"list"}).out, AllOf(Not(HasSubstr("Lockstep")), HasSubstr("carol")));
    result = ctl({"disarm"});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err, "lockstepctl: no credential of service \"Lockstep\" is stored\n");
}

// An armed restart shows in the status and goes with disarm, whether or not a
// credential was stored; a failed unload is a failure.
TEST_F(CtlTest, DisarmUnloadsAnArmedRestart) {
    struct Step {
        std::optional<bool> armed;
        std::optional<std::string> unsupported;
        int unloadError;
        std::string statusLine;
        int disarmStatus;
        int unloads;
    };
    const std::vector<Step> steps = {
        {true, std::nullopt, 0, "restart:      armed\n", 2, 1},
        {false, std::nullopt, 0, "restart:      not armed\n", 2, 0},
        {true, "the root file system is not on an encrypted volume", EPERM,
         "restart:      armed; the tool cannot arm one here: the root file system is not on an "
         "encrypted volume\n",
         1, 1},
        {std::nullopt, std::nullopt, 0, "restart:      cannot be armed on this kernel (no kexec)\n",
         2, 0},
    };
    for (const Step& step : steps) {
        armed_ = step.armed;
        unsupported_ = step.unsupported;
        unloadError_ = step.unloadError;
        unloads_ = 0;
        EXPECT_THAT(ctl({"status"}).out, HasSubstr(step.statusLine));
        const Json json = Json::parse(ctl({"status", "--json"}).out);
        EXPECT_EQ(json["restartTool"]["supported"], !step.unsupported.has_value());
        const Result disarmed = ctl({"disarm"});
        EXPECT_EQ(disarmed.status, step.disarmStatus) << disarmed.err;
        EXPECT_EQ(unloads_, step.unloads);
        EXPECT_EQ(
            disarmed.out.find("unloaded the armed authenticated restart") != std::string::npos,
            step.unloads == 1 && step.unloadError == 0);
    }
}

// Attributes come from a file anyone could have written: control characters
// must not reach the terminal.
TEST_F(CtlTest, UntrustedAttributesAreShownSafely) {
    enrol("evil\x1b]0;owned\x07name");
    const Result result = ctl({"list"});
    EXPECT_THAT(result.out, HasSubstr("evil\\x1b]0;owned\\x07name"));
    EXPECT_EQ(result.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(ctl::printable("caf\xc3\xa9 \xe2\x82\xac"), "caf\xc3\xa9 \xe2\x82\xac");
    EXPECT_EQ(ctl::printable("a\tb\nc\x7f back\\slash"), "a\\x09b\\x0ac\\x7f back\\\\slash");
    EXPECT_EQ(ctl::printable("c1 \xc2\x9b[1m bad \xff\xc3"), "c1 \\xc2\\x9b[1m bad \\xff\\xc3");
    // A partition description that is no hexadecimal property list.
    EXPECT_FALSE(ctl::decodePartitionDescription("zz") || ctl::decodePartitionDescription("") ||
                 ctl::decodePartitionDescription("616263"));
}

TEST_F(CtlTest, UsageErrorsAreOneLineWithStatus64) {
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
             {}, {"show"}, {"status", "--bogus"}, {"list", "--keychain"}, {"disarm", "extra"}}) {
        const Result result = ctl(arguments);
        EXPECT_EQ(result.status, 64) << ::testing::PrintToString(arguments);
        EXPECT_EQ(result.out, "");
        EXPECT_THAT(result.err, StartsWith("lockstepctl: "));
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    }
    const Result help = ctl({"show", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_THAT(help.out, HasSubstr("--account"));
}

// The installed program: a copy of a keychain is listed without its key and
// without anything created next to it; errors and usage map to exit statuses.
TEST_F(CtlTest, TheProgramItself) {
    enrol("alice");
    const fs::path copy = dir_ / "copy/System.keychain";
    writeFile(copy, readFile(systemKeychainPath()));
    const auto lockstepctl = [](const std::vector<std::string>& arguments) {
        SpawnResult spawned = spawnProcess({.program = LOCKSTEPCTL_BINARY,
                                            .arguments = arguments,
                                            .input = ChildStream::Null,
                                            .output = ChildStream::Pipe,
                                            .error = ChildStream::Pipe});
        EXPECT_TRUE(spawned.process) << spawned.errorDescription();
        const ProcessOutput output = spawned.process.value().communicate();
        const auto status = spawned.process.value().wait();
        EXPECT_TRUE(status && status->exited);
        return Result{status ? status->code : -1, toString(output.output), toString(output.error)};
    };
    Result run = lockstepctl({"list", "--keychain", copy.string()});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_THAT(run.out, HasSubstr("account:      alice"));
    EXPECT_THAT(run.out + run.err, Not(HasSubstr(kPassword)));
    EXPECT_EQ(std::distance(fs::directory_iterator(copy.parent_path()), {}), 1);
    run = lockstepctl({"frobnicate"});
    EXPECT_EQ(run.status, 64);
    EXPECT_EQ(run.out + run.err,
              "lockstepctl: unknown command 'frobnicate' (see lockstepctl --help)\n");
    EXPECT_THAT(lockstepctl({"--version"}).out, StartsWith("lockstepctl 1."));
}

}  // namespace
}  // namespace lockstep::testing
