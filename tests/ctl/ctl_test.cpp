// lockstepctl's commands on a machine in a temporary folder, and the
// installed program itself.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "ctl/commands.h"
#include "daemon/run_record.h"
#include "keychain/keychain_util.h"
#include "log/log.h"
#include "log/unified_logger.h"
#include "platform/directory/local_directory.h"
#include "platform/keychain/sqlite_keychain.h"
#include "platform/process.h"
#include "platform/scoped_fd.h"
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

    // Runs one lockstepctl command line through ctl::run, with `input` on the
    // standard input it reads a password from.
    [[nodiscard]] Result ctl(const std::vector<std::string>& arguments,
                             const std::string& input = "") {
        const TempDir inputs;
        writeFile(inputs.path() / "stdin", input);
        const ScopedFD stdinFile(::open((inputs.path() / "stdin").c_str(), O_RDONLY | O_CLOEXEC));
        std::ostringstream out;
        std::ostringstream err;
        const int status =
            ctl::run(arguments,
                     {.context = context_,
                      .systemKeychainPath = systemKeychainPath(),
                      .userKeychainPath = userKeychainPath(),
                      .passwordInput = stdinFile.get(),
                      .terminal = inputs.path() / "no-terminal",
                      .restart = {.armed = [this] { return armed_; },
                                  .unload =
                                      [this] {
                                          ++unloads_;
                                          if (unloadError_ == 0) {
                                              armed_ = false;
                                          }
                                          return unloadError_;
                                      },
                                  .unsupportedReason = [this] { return unsupported_; }},
                      .preferences = {}},
                     out, err);
        return {status, out.str(), err.str()};
    }

    // Stores a credential of the service the way lockstepd's enrolment does:
    // in the System keychain, or with `inUserKeychain` in the user's.
    void enrol(std::string_view account, std::string_view password = kPassword,
               std::string_view service = "Lockstep", bool inUserKeychain = false) {
        SecKeychainRef system;
        if (!inUserKeychain) {
            ASSERT_EQ(keychain_.SecKeychainCopyDomainDefault(kSecPreferencesDomainSystem, &system),
                      errSecSuccess);
        }
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
    fs::path userKeychainPath() const { return dir_ / "root/.local/share/lockstep/login.keychain"; }
    // In folders only root can write, so that lockstepd would start it.
    fs::path toolPath() const { return toolDir_ / "usr/bin/fdesetup"; }
    fs::path recordPath() const { return dir_ / "var/lib/lockstep/last-run"; }

    // One run of lockstepd, in process, recording its outcome: an enrolment
    // of alice, or the plain path.
    void daemonRun(bool enrolment = false, std::string_view password = kPassword) {
        std::ostringstream out;
        PasswordDaemon command;
        if (enrolment) {
            command = {.setUser = true, .user = "alice", .password = SecretString(password)};
        }
        static_cast<void>(command.perform(context_, out));
    }

    // Replaces the restart tool with a shell script.
    void setTool(const std::string& script) {
        writeFile(toolPath(), "#!/bin/sh\n" + script + "\n", fs::perms(0755));
    }

    LogCapture capture_;
    TempDir dir_;
    TrustedTempDir toolDir_;
    std::unique_ptr<TestDirectory> tree_;
    SqliteKeychainService keychain_{{.systemKeychainPath = systemKeychainPath(),
                                     .userKeychainPath = userKeychainPath(),
                                     .callingProgramPath = std::nullopt}};
    LocalDirectoryService directory_{dir_ / "machine"};
    Context context_{.keychain = keychain_,
                     .directory = directory_,
                     .fdesetupPath = toolPath(),
                     .bundlePath = dir_ / "bundle",
                     .machineRoot = dir_ / "machine",
                     .runRecordPath = recordPath()};
    // The kernel's kexec state, as the restart service reports it.
    std::optional<bool> armed_ = false;
    int unloadError_ = 0;
    int unloads_ = 0;
    std::optional<std::string> unsupported_;
};

// The status line (and JSON problem) of each exit status.
constexpr const char* kVerdicts[] = {"ready to arm",
                                     "",
                                     "nothing enrolled",
                                     "password no longer valid",
                                     "restart tool missing",
                                     "keychain unreadable",
                                     "System keychain damaged",
                                     "last arming failed",
                                     "keychain files unsafe"};

class StatusTest : public CtlTest {
  protected:
    void SetUp() override {
        if (const auto reason = untrustedTestProgramsReason()) {
            GTEST_SKIP() << *reason;
        }
    }

    // Runs status as text and as JSON: the same exit status and verdict (or
    // `problem` in its place), the texts `says`, the password check's verdict
    // (nothing: none made). status never creates the keychain, never shows
    // or logs the secret.
    void expectStatus(int exitStatus, const std::vector<std::string>& says,
                      const char* passwordResult, std::string problem = {}) {
        SCOPED_TRACE(says.front());
        if (problem.empty()) {
            problem = kVerdicts[exitStatus];
        }
        const bool keychainExisted = fs::exists(systemKeychainPath());
        const Result text = ctl({"status"});
        const Result json = ctl({"status", "--json"});
        EXPECT_EQ(text.status, exitStatus) << text.out;
        EXPECT_EQ(json.status, exitStatus);
        EXPECT_THAT(text.out, HasSubstr("\nstatus:       " + problem + "\n"));
        for (const std::string& words : says) {
            EXPECT_THAT(text.out, HasSubstr(words));
        }
        const Json parsed = Json::parse(json.out);
        EXPECT_EQ(parsed["exitStatus"], exitStatus);
        EXPECT_EQ(parsed["ready"], exitStatus == 0);
        EXPECT_EQ(parsed["problem"], exitStatus == 0 ? Json() : Json(problem));
        EXPECT_EQ(parsed["password"]["result"], passwordResult ? Json(passwordResult) : Json());
        EXPECT_EQ(parsed["credential"].is_null(),
                  text.out.find("enrolled:     yes") == std::string::npos);
        EXPECT_EQ(parsed["keychain"]["exists"], keychainExisted);
        EXPECT_EQ(parsed["keychain"]["readable"],
                  keychainExisted && exitStatus != 5 && exitStatus != 6);
        if (exitStatus != 6) {
            EXPECT_EQ(parsed["keychain"]["fileProblems"].empty(), exitStatus != 8);
        }
        EXPECT_EQ(parsed["keychain"]["damaged"], exitStatus == 6);
        EXPECT_EQ(text.err + json.err, "");
        EXPECT_THAT(text.out + json.out,
                    AllOf(Not(HasSubstr(kPassword)), Not(HasSubstr("bobs password"))));
        EXPECT_FALSE(capture_.contains(kPassword)) << capture_.dump();
        EXPECT_EQ(fs::exists(systemKeychainPath().parent_path()), keychainExisted);
        EXPECT_EQ(fs::exists(userKeychainPath().parent_path()), userKeychainExisted);
    }

    bool userKeychainExisted = false;
};

// Ready with two credentials stored: lockstepd uses the oldest. The run
// record is not followed where it is a link.
TEST_F(StatusTest, Ready) {
    enrol("bob", "bobs password");
    enrol("alice");
    writeFile(recordPath().parent_path() / "elsewhere", "");
    fs::create_symlink("elsewhere", recordPath());
    expectStatus(
        0,
        {"enrolled:     yes, account \"bob\", stored ", "held in:      the System keychain\n",
         "2 credentials are stored; lockstepd uses this one, the oldest",
         "password:     verifies against the local account", "fdesetup is present"},
        "success");
    const Json json = Json::parse(ctl({"status", "--json"}).out);
    EXPECT_EQ(json["keychain"]["path"], systemKeychainPath().string());
    EXPECT_EQ(json["credential"]["account"], "bob");
    EXPECT_EQ(json["credential"]["itemsOfService"], 2);
    EXPECT_EQ(json["credentialKeychain"]["kind"], "System");
    EXPECT_EQ(json["restartTool"]["present"], true);
    EXPECT_EQ(json["restartTool"]["safe"], true);
    EXPECT_EQ(json["lastRun"]["file"], recordPath().string());
    EXPECT_TRUE(json["lastRun"]["run"].is_null());
    EXPECT_THAT(ctl({"status"}).out,
                HasSubstr("last run:     none recorded: " + recordPath().string() + ": "));
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

// A tool that lockstepd would refuse to start: the same reason as its
// refusal, as the problem of exit status 4.
TEST_F(StatusTest, RestartToolUnsafe) {
    enrol("alice");
    const std::string folder = toolPath().parent_path().string();
    const std::vector<std::pair<std::function<void()>, std::string>> cases{
        {[this] { fs::permissions(toolPath(), fs::perms(0777)); },
         "it is writable by group or others (mode 0777)"},
        {[this] { ASSERT_EQ(::chown(toolPath().c_str(), 65534, 0), 0); },
         "it is owned by uid 65534, not root"},
        {[this] { fs::permissions(toolPath().parent_path(), fs::perms(0775)); },
         "folder " + folder + " is writable by group or others (mode 0775)"},
    };
    for (const auto& [spoil, reason] : cases) {
        writeFile(toolPath(), "#!/bin/sh\nexit 0\n", fs::perms(0755));
        fs::permissions(toolPath().parent_path(), fs::perms(0755));
        spoil();
        expectStatus(4, {"fdesetup: UNSAFE, lockstepd refuses to run it: " + reason}, "success",
                     "restart tool unsafe: " + reason);
        const Json tool = Json::parse(ctl({"status", "--json"}).out)["restartTool"];
        EXPECT_EQ(tool["present"], true);
        EXPECT_EQ(tool["safe"], false);
        EXPECT_EQ(tool["unsafeBecause"], reason);
        fs::remove(toolPath());
    }
}

TEST_F(StatusTest, KeychainUnreadable) {
    // An item whose password is empty can never be read back.
    enrol("alice", "");
    expectStatus(5, {"UNREADABLE", "the stored credential cannot be read"}, nullptr);
}

// A System keychain that is there but cannot be used: lockstepd looks in the
// user's keychain instead, and status names the keychain it would read.
// Nothing planted at the paths (a FIFO included) holds status up.
TEST_F(StatusTest, SystemKeychainDamaged) {
    const fs::path keyFile = systemKeychainPath().string() + ".key";
    using Damage = void (*)(const fs::path& keychain, const fs::path& key);
    // With the cause that the file checks name, where they can tell one.
    const std::vector<std::tuple<std::string, Damage, std::string>> damages{
        {"not a keychain",
         [](auto& keychain, auto&) { writeFile(keychain, "not a keychain", fs::perms(0600)); }, ""},
        {"another keychain's key",
         [](auto&, auto& key) { writeFile(key, std::string(32, 'k'), fs::perms(0600)); }, ""},
        {"FIFO as keychain",
         [](auto& keychain, auto&) {
             fs::remove(keychain);
             ASSERT_EQ(::mkfifo(keychain.c_str(), 0600), 0);
         },
         "keychain " + systemKeychainPath().string()},
        {"FIFO as key",
         [](auto&, auto& key) {
             fs::remove(key);
             ASSERT_EQ(::mkfifo(key.c_str(), 0600), 0);
         },
         "key file " + keyFile.string()},
    };
    for (const auto& [name, damage, cause] : damages) {
        const std::string problem =
            cause.empty() ? std::string()
                          : "System keychain damaged: " + cause +
                                " is not a regular file: move it aside and enrol again";
        SCOPED_TRACE(name);
        fs::remove_all(dir_ / "var");
        fs::remove_all(dir_ / "root");
        userKeychainExisted = false;
        enrol("bob", "bobs password");
        damage(systemKeychainPath(), keyFile);
        // Nothing in the user's keychain either.
        expectStatus(
            6,
            {": DAMAGED: ",
             "lockstepd looks in the user keychain " + userKeychainPath().string() + " instead\n",
             "enrolled:     no"},
            nullptr, problem);
        // The credential lockstepd stored there when it could not use the
        // System keychain.
        enrol("alice", kPassword, "Lockstep", true);
        userKeychainExisted = true;
        expectStatus(6,
                     {"enrolled:     yes, account \"alice\"",
                      "held in:      the user keychain " + userKeychainPath().string() + "\n",
                      "password:     verifies against the local account"},
                     "success", problem);
        const Json json = Json::parse(ctl({"status", "--json"}).out);
        EXPECT_EQ(json["credentialKeychain"]["kind"], "user");
        EXPECT_EQ(json["credentialKeychain"]["path"], userKeychainPath().string());
    }
}

// What the record of each kind of run makes of status: a failed arming is a
// problem of its own (7) with the tool's own line, whatever the tool is like
// now; a refused enrolment is no arming; the next successful run clears it.
// A record that is not one is reported and is no problem.
TEST_F(StatusTest, LastRunFromItsRecord) {
    const std::string tool = toolPath().string();
    struct Case {
        const char* name;
        std::function<void()> run;
        int status;
        std::vector<std::string> says;
        const char* result;  // in the JSON record; nothing: no record
    };
    const std::vector<Case> cases = {
        {"tool refusing",
         [this] {
             setTool("echo; echo '  Authentication failed: wrong password' >&2; exit 1");
             daemonRun();
         },
         7,
         {"plain run, account \"alice\": Failed to authenticate with FileVault\n",
          "\nstatus:       last arming failed: " + tool + " exited with status 1 after ",
          " ms: \"Authentication failed: wrong password\"\n"},
         "notArmed"},
        {"tool killed for time",
         [this] {
             setTool("trap '' TERM; sleep 5");
             context_.toolLimits =
                 ChildLimits{std::chrono::milliseconds(100), std::chrono::milliseconds(100),
                             std::chrono::milliseconds(100), 1024};
             daemonRun();
             context_.toolLimits.reset();
         },
         7,
         {"last arming failed: " + tool +
          " did not finish within its time limit and was stopped with SIGKILL after "},
         "notArmed"},
        {"tool unsafe then, fixed since",
         [this] {
             fs::permissions(toolPath(), fs::perms(0777));
             daemonRun();
             setTool("exit 0");
         },
         7,
         {"last arming failed: lockstepd refused to run " + tool +
          ": it is writable by group or others (mode 0777)\n"},
         "notArmed"},
        {"a successful enrolment clears it",
         [this] { daemonRun(true); },
         0,
         {"enrolment, account \"alice\": Successfully authenticated with FileVault\n",
          "              " + tool + " exited with status 0 after ",
          "\nstatus:       ready to arm\n"},
         "armed"},
        {"refused enrolment is no arming",
         [this] { daemonRun(true, "wrong"); },
         0,
         {"enrolment, account \"alice\": incorrect password\n"},
         "incorrectPassword"},
        {"not a record",
         [this] { writeFile(recordPath(), "{\"version\": 1}", fs::perms(0600)); },
         0,
         {"none recorded: " + recordPath().string() + ": not a run record: no member"},
         nullptr},
    };
    enrol("alice");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.run();
        const Result text = ctl({"status"});
        EXPECT_EQ(text.status, c.status) << text.out;
        for (const std::string& words : c.says) {
            EXPECT_THAT(text.out, HasSubstr(words));
        }
        const Json json = Json::parse(ctl({"status", "--json"}).out);
        EXPECT_EQ(json["exitStatus"], c.status);
        EXPECT_EQ(json["lastRun"]["armingFailed"], c.status == 7);
        EXPECT_EQ(json["lastRun"]["run"].is_null(), c.result == nullptr);
        if (c.result != nullptr) {
            EXPECT_EQ(json["lastRun"]["run"]["result"], c.result);
        }
        EXPECT_THAT(readFile(recordPath()), Not(HasSubstr(kPassword)));
    }
}

// Each file a restart relies on, spoiled in one way: status names the exact
// cause with its fix, and a key file the keychain service refuses makes the
// System keychain damaged.
TEST_F(StatusTest, KeychainFilesNameTheCauseAndTheFix) {
    const fs::path folder = systemKeychainPath().parent_path();
    const std::string key = systemKeychainPath().string() + ".key";
    struct Case {
        std::function<void()> spoil;
        int status;
        std::string cause;
    };
    const std::vector<Case> cases = {
        {[&] { fs::permissions(folder, fs::perms(0755)); }, 8,
         "keychain folder " + folder.string() + " is mode 0755: chmod 700 it"},
        {[&] { ASSERT_EQ(::chown(folder.c_str(), 65534, 0), 0); }, 8,
         "keychain folder " + folder.string() + " is owned by uid 65534, not root: chown root it"},
        {[&] { fs::permissions(systemKeychainPath(), fs::perms(0644)); }, 8,
         "keychain " + systemKeychainPath().string() + " is mode 0644: chmod 600 it"},
        {[&] { fs::permissions(key, fs::perms(0644)); }, 6,
         "key file " + key + " is mode 0644: chmod 600 it"},
        {[&] { ASSERT_EQ(::chown(key.c_str(), 65534, 0), 0); }, 6,
         "key file " + key + " is owned by uid 65534, not root: chown root it"},
        {[&] { fs::resize_file(key, 31); }, 6,
         "key file " + key +
             " is 31 bytes, not 32: it is damaged: move the keychain and its key aside and "
             "enrol again"},
        {[&] { fs::remove(key); }, 6, "key file " + key + " is missing: without it"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cause);
        fs::remove_all(folder);
        enrol("alice");
        c.spoil();
        const Result text = ctl({"status"});
        EXPECT_EQ(text.status, c.status) << text.out;
        EXPECT_THAT(text.out, HasSubstr("\n              UNSAFE: " + c.cause));
        EXPECT_THAT(text.out, HasSubstr("\nstatus:       " + std::string(kVerdicts[c.status]) +
                                        ": " + c.cause));
        EXPECT_THAT(text.out, Not(HasSubstr("(status -")));
        EXPECT_FALSE(
            Json::parse(ctl({"status", "--json"}).out)["keychain"]["fileProblems"].empty());
    }
}

// ---- Output for scripts and fleets -------------------------------------------

// The members that lockstepctl(8) documents for one command's JSON: dotted
// paths ("keychain.path", "items[].service") to their types ("string or
// null").
std::map<std::string, std::map<std::string, std::string>> documentedMembers() {
    std::istringstream manual(readFile(LOCKSTEP_SOURCE_DIR "/man/lockstepctl.8"));
    std::map<std::string, std::map<std::string, std::string>> members;
    std::string line;
    std::string command;
    bool inSection = false;
    while (std::getline(manual, line)) {
        if (line.starts_with(".Sh ")) {
            inSection = line == ".Sh JSON OUTPUT";
        } else if (inSection && line.starts_with(".Ss ")) {
            command = line.substr(4);
        } else if (inSection && line.starts_with(".It Li ")) {
            const auto type = line.find(" Pq ");
            EXPECT_NE(type, std::string::npos) << line;
            members[command][line.substr(7, type - 7)] = line.substr(type + 4);
        }
    }
    return members;
}

// The members of real output, by the same paths, with every JSON type seen.
void collectMembers(const Json& value, const std::string& path,
                    std::map<std::string, std::set<std::string>>& seen) {
    if (value.is_object()) {
        for (const auto& [name, member] : value.items()) {
            const std::string child = path.empty() ? name : path + "." + name;
            seen[child].insert(member.is_null()      ? "null"
                               : member.is_boolean() ? "boolean"
                               : member.is_number()  ? "number"
                               : member.is_string()  ? "string"
                               : member.is_array()   ? "array"
                                                     : "object");
            collectMembers(member, child, seen);
        }
    } else if (value.is_array()) {
        for (const Json& element : value) {
            collectMembers(element, path + "[]", seen);
        }
    }
}

// Every member of every JSON output is documented with its type, and every
// documented member shows up in some real output.
TEST_F(StatusTest, JsonMembersAreThoseOfTheManual) {
    const auto documented = documentedMembers();
    std::map<std::string, std::map<std::string, std::set<std::string>>> seen;
    const auto take = [&](const std::string& section, const std::vector<std::string>& command) {
        const Result result = ctl(command);
        collectMembers(Json::parse(result.out), "", seen[section]);
    };
    const std::string status = "status --json";
    const std::string items = "list --json and show --json";
    // No record, nothing enrolled; then a record of a tool that failed;
    // then a damaged keychain with the file problem that explains it.
    take(status, {"status", "--json"});
    enrol("alice");
    enrol("bob", "bobs password", "Other");
    setTool("echo refused; exit 3");
    daemonRun();
    take(status, {"status", "--json"});
    take(items, {"list", "--json"});
    take(items, {"show", "Lockstep", "--json"});
    fs::permissions(systemKeychainPath().string() + ".key", fs::perms(0640));
    take(status, {"status", "--json"});

    ASSERT_EQ(documented.size(), 2U);
    for (const auto& [section, members] : seen) {
        SCOPED_TRACE(section);
        ASSERT_TRUE(documented.contains(section));
        const auto& manual = documented.at(section);
        for (const auto& [path, types] : members) {
            const auto found = manual.find(path);
            if (found == manual.end()) {
                ADD_FAILURE() << "undocumented member " << path;
                continue;
            }
            for (const std::string& type : types) {
                EXPECT_TRUE(found->second == type || found->second == type + " or null" ||
                            (type == "null" && found->second.ends_with(" or null")))
                    << path << " is " << type << ", documented as " << found->second;
            }
        }
        for (const auto& [path, type] : manual) {
            EXPECT_TRUE(members.contains(path)) << "documented member " << path << " not seen";
        }
    }
}

// The exposition format as node_exporter's textfile collector reads it: a
// family's HELP and TYPE come once, before its samples; names, labels and
// values follow the format's grammar.
struct Sample {
    std::map<std::string, std::string> labels;
    double value = 0;
};

std::map<std::string, std::vector<Sample>> parsePrometheus(const std::string& text) {
    static const std::regex comment(R"(# (HELP|TYPE) ([a-zA-Z_:][a-zA-Z0-9_:]*) (.*))");
    static const std::regex sample(R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{(.*)\})? (\S+))");
    static const std::regex label(
        R"re(([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\\n]|\\[\\"n])*)"(,|$))re");
    std::map<std::string, std::vector<Sample>> families;
    std::set<std::string> described[2];  // HELP, TYPE
    std::string current;
    EXPECT_TRUE(text.ends_with('\n'));
    std::istringstream lines(text);
    std::string line;
    std::smatch match;
    while (std::getline(lines, line)) {
        if (std::regex_match(line, match, comment)) {
            const std::string family = match[2];
            EXPECT_FALSE(families.contains(family)) << "after its samples: " << line;
            EXPECT_TRUE(described[match[1] == "TYPE"].insert(family).second) << "twice: " << line;
            EXPECT_TRUE(match[1] == "HELP" || match[3] == "gauge") << line;
            current = family;
            continue;
        }
        if (!std::regex_match(line, match, sample)) {
            ADD_FAILURE() << "not a sample: " << line;
            continue;
        }
        const std::string family = match[1];
        EXPECT_EQ(family, current) << "a sample apart from its HELP and TYPE: " << line;
        EXPECT_TRUE(described[1].contains(family)) << line;
        Sample parsed;
        const std::string labels = match[3];
        std::size_t consumed = 0;
        for (auto it = std::sregex_iterator(labels.begin(), labels.end(), label);
             it != std::sregex_iterator() && it->position() == static_cast<long>(consumed); ++it) {
            consumed += static_cast<std::size_t>(it->length());
            EXPECT_FALSE((*it)[1].str().starts_with("__")) << line;
            std::string value;
            const std::string raw = (*it)[2];
            for (std::size_t i = 0; i < raw.size(); ++i) {
                value += raw[i] != '\\' ? raw[i] : raw[++i] == 'n' ? '\n' : raw[i];
            }
            EXPECT_TRUE(parsed.labels.emplace((*it)[1], value).second) << line;
        }
        EXPECT_EQ(consumed, labels.size()) << "bad labels: " << line;
        const std::string value = match[4];
        char* end = nullptr;
        parsed.value = std::strtod(value.c_str(), &end);
        EXPECT_EQ(*end, '\0') << "not a float: " << line;
        families[family].push_back(std::move(parsed));
    }
    return families;
}

// status --prometheus as a fleet's monitoring sees a machine: ready, then
// one whose last arming failed, then one with nothing enrolled. Label values
// are escaped per the format.
TEST_F(StatusTest, PrometheusTextForTheFleet) {
    const auto gauge = [](const std::map<std::string, std::vector<Sample>>& families,
                          const std::string& name) {
        const auto found = families.find(name);
        return found == families.end() || found->second.size() != 1 ? -1.0 : found->second[0].value;
    };
    struct Case {
        std::function<void()> prepare;
        int status;
        std::map<std::string, double> values;  // -1: no sample
    };
    const std::vector<Case> cases = {
        {[this] { daemonRun(true); },
         0,
         {{"lockstep_ready", 1},
          {"lockstep_status_exit_code", 0},
          {"lockstep_enrolled", 1},
          {"lockstep_credential_valid", 1},
          {"lockstep_restart_tool_ok", 1},
          {"lockstep_keychain_ok", 1},
          {"lockstep_last_run_recorded", 1},
          {"lockstep_last_run_success", 1}}},
        {[this] {
             setTool("exit 1");
             daemonRun();
         },
         7,
         {{"lockstep_ready", 0},
          {"lockstep_status_exit_code", 7},
          {"lockstep_enrolled", 1},
          {"lockstep_restart_tool_ok", 1},
          {"lockstep_last_run_success", 0}}},
        {[this] {
             fs::remove_all(systemKeychainPath().parent_path());
             fs::remove(toolPath());
         },
         2,
         {{"lockstep_ready", 0},
          {"lockstep_enrolled", 0},
          {"lockstep_credential_valid", 0},
          {"lockstep_restart_tool_ok", 0},
          {"lockstep_keychain_ok", 1},
          {"lockstep_last_run_recorded", 0},
          {"lockstep_last_run_timestamp_seconds", -1},
          {"lockstep_last_run_success", -1}}},
    };
    for (const Case& c : cases) {
        c.prepare();
        const auto before = std::chrono::system_clock::now();
        const Result result = ctl({"status", "--prometheus"});
        SCOPED_TRACE(result.out);
        EXPECT_EQ(result.status, c.status);
        const auto families = parsePrometheus(result.out);
        for (const auto& [name, value] : c.values) {
            EXPECT_EQ(gauge(families, name), value) << name;
        }
        if (families.contains("lockstep_last_run_timestamp_seconds")) {
            const double now = static_cast<double>(
                std::chrono::duration_cast<std::chrono::seconds>(before.time_since_epoch())
                    .count());
            EXPECT_NEAR(gauge(families, "lockstep_last_run_timestamp_seconds"), now, 5);
        }
        EXPECT_EQ(families.at("lockstep_restart_tool_ok")[0].labels.at("path"),
                  toolPath().string());
    }

    // An account name with every character the format escapes.
    const std::string account = "a\"b\\c\nd";
    enrol(account);
    const auto families = parsePrometheus(ctl({"status", "--prometheus"}).out);
    EXPECT_EQ(families.at("lockstep_enrolled")[0].labels.at("account"), account);
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
    // The same as JSON: the items with their numbers in the whole keychain.
    const Result listJson = ctl({"list", "--json"});
    EXPECT_EQ(listJson.status, 0);
    EXPECT_THAT(listJson.out, AllOf(Not(HasSubstr(kPassword)), Not(HasSubstr("s password"))));
    const Json listed = Json::parse(listJson.out);
    EXPECT_EQ(listed["keychain"], systemKeychainPath().string());
    ASSERT_EQ(listed["items"].size(), 3U);
    EXPECT_EQ(listed["items"][2]["service"], "Other");
    EXPECT_EQ(listed["items"][0]["acls"].back()["partitions"],
              (Json{"apple:", "teamid:Q7M4ZK2RTD"}));
    const Json shown = Json::parse(ctl({"show", "Lockstep", "--account", "bob", "--json"}).out);
    ASSERT_EQ(shown["items"].size(), 1U);
    EXPECT_EQ(shown["items"][0]["number"], 2);
    EXPECT_EQ(shown["items"][0]["account"], "bob");
    const Result noneJson = ctl({"show", "Lockstep", "--account", "dave", "--json"});
    EXPECT_EQ(noneJson.status, 2);
    EXPECT_TRUE(Json::parse(noneJson.out)["items"].empty());

    const Result none = ctl({"show", "Lockstep", "--account", "dave"});
    EXPECT_EQ(none.status, 2);
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(none.err, "lockstepctl: no item of service \"Lockstep\" for account \"dave\" in " +
                            systemKeychainPath().string() + "\n");
}

TEST_F(CtlTest, UnreadableKeychainFilesAreOneLineErrors) {
    writeFile(dir_ / "junk.keychain", "junk");
    ASSERT_EQ(::mkfifo((dir_ / "fifo.keychain").c_str(), 0600), 0);  // must not block
    for (const fs::path& file :
         {dir_ / "missing.keychain", dir_ / "junk.keychain", dir_ / "fifo.keychain"}) {
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
    enrol("rtl\xe2\x80\xaetxt.exe");
    EXPECT_THAT(ctl({"list"}).out, HasSubstr("account:      rtl\\u202etxt.exe\n"));
    const std::pair<std::string, std::string> cases[] = {
        {"caf\xc3\xa9 \xe2\x82\xac", "caf\xc3\xa9 \xe2\x82\xac"},
        {"a\tb\nc\x7f back\\slash", "a\\x09b\\x0ac\\x7f back\\\\slash"},
        {"c1 \xc2\x9b[1m bad \xff\xc3", "c1 \\xc2\\x9b[1m bad \\xff\\xc3"},
        // Bidirectional formatting: embeddings and overrides, isolates, marks.
        {"\xe2\x80\xaa\xe2\x80\xab\xe2\x80\xac\xe2\x80\xad\xe2\x80\xae",
         "\\u202a\\u202b\\u202c\\u202d\\u202e"},
        {"\xe2\x81\xa6\xe2\x81\xa7\xe2\x81\xa8\xe2\x81\xa9", "\\u2066\\u2067\\u2068\\u2069"},
        {"\xe2\x80\x8e\xe2\x80\x8f\xd8\x9c", "\\u200e\\u200f\\u061c"},
        // Their neighbours are ordinary text: dashes, a zero-width joiner,
        // U+2065 (unassigned), an Arabic letter.
        {"\xe2\x80\x94\xe2\x80\x8d\xe2\x80\xaf\xe2\x81\xa5\xd8\xa8",
         "\xe2\x80\x94\xe2\x80\x8d\xe2\x80\xaf\xe2\x81\xa5\xd8\xa8"},
    };
    for (const auto& [text, shown] : cases) {
        EXPECT_EQ(ctl::printable(text), shown) << shown;
    }
    // A partition description that is no hexadecimal property list.
    EXPECT_FALSE(ctl::decodePartitionDescription("zz") || ctl::decodePartitionDescription("") ||
                 ctl::decodePartitionDescription("616263"));
}

// enrol is lockstepd's enrolment with the password from standard input (or
// the terminal): the same lines, store and arming; its exit status says
// whether the restart was armed.
TEST_F(CtlTest, EnrolTakesThePasswordFromStandardInput) {
    const std::string password(kPassword);
    struct Case {
        std::string input;
        int status;
        std::string out;
        std::string err;
    };
    const std::vector<std::string> command{"enrol", "--user", "alice", "--password-stdin"};
    for (const Case& c : std::vector<Case>{
             {"wrong\n", 1, "alice ********\nincorrect password\n", ""},
             {"", 1, "", "lockstepctl: no password was given\n"},
             {std::string(5000, 'x'), 1, "",
              "lockstepctl: the password is longer than 4096 bytes\n"},
             {password + "\x01\n", 64, "",
              "lockstepctl: the password is not UTF-8 text the restart tool can take\n"},
             {password + "\r\nignored\n", 0,
              "alice ********\nSuccessfully authenticated with FileVault\n", ""},
         }) {
        const Result result = ctl(command, c.input);
        EXPECT_EQ(result.status, c.status) << c.input.substr(0, 20);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, c.err);
    }
    std::vector<KeychainItemInfo> items;
    std::string why;
    ASSERT_TRUE(ctl::readKeychainItems(systemKeychainPath(), &items, &why)) << why;
    ASSERT_EQ(items.size(), 1U);
    const Result noTerminal = ctl({"enrol", "--user", "bob"});
    EXPECT_EQ(noTerminal.status, 1);
    EXPECT_THAT(noTerminal.err, HasSubstr("--password-stdin"));
}

TEST_F(CtlTest, UsageErrorsAreOneLineWithStatus64) {
    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{},
                                               {"show"},
                                               {"status", "--bogus"},
                                               {"list", "--keychain"},
                                               {"disarm", "extra"},
                                               {"enrol", "--password-stdin"},
                                               {"status", "--json", "--prometheus"},
                                               {"enrol", "--user", "a", "--password", "x"}}) {
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
