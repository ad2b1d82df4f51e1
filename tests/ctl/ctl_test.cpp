// lockstepctl's commands on a machine in a temporary folder, and the
// installed program itself.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "ctl/commands.h"
#include "keychain/keychain_util.h"
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

const std::string kPassword = "Sw0rdfish-not-for-output";
constexpr std::string_view kBobs = "bobs password";

struct Result {
    int status = -1;
    std::string out, err;
    bool operator==(const Result&) const = default;
};

// A machine in a temporary folder: the real SQLite keychain service with its
// System keychain there, real account files with the user "alice",
// a restart tool that exists, and a run record path.
class CtlTest : public ::testing::Test {
  public:
    CtlTest() {
        setUsers({{.name = "alice", .uid = 501, .password = kPassword}});
        setTool("exit 0");
    }

    // One lockstepctl command line through ctl::run, `input` on its stdin.
    [[nodiscard]] Result ctl(const std::vector<std::string>& arguments,
                             const std::string& input = "") {
        const TempDir inputs;
        writeFile(inputs.path() / "stdin", input);
        const ScopedFD stdinFile(::open((inputs.path() / "stdin").c_str(), O_RDONLY | O_CLOEXEC));
        const auto unload = [this] {
            ++unloads_;
            armed_ = unloadError_ == 0 ? std::optional(false) : armed_;
            return unloadError_;
        };
        std::ostringstream out, err;
        const int status =
            ctl::run(arguments,
                     {.context = context_,
                      .systemKeychainPath = keychainPath(),
                      .userKeychainPath = userKeychainPath(),
                      .passwordInput = stdinFile.get(),
                      .terminal = inputs.path() / "no-terminal",
                      .restart = {.armed = [this] { return armed_; },
                                  .unload = unload,
                                  .unsupportedReason = [this] { return unsupported_; }},
                      .preferences = preferences_},
                     out, err);
        return {status, out.str(), err.str()};
    }

    // Stores a credential the way lockstepd's enrolment does: in the System
    // keychain, or with `inUserKeychain` in the user's.
    void enrol(std::string_view account, std::string_view password = kPassword,
               std::string_view service = "Lockstep", bool inUserKeychain = false) {
        SecKeychainRef system;
        if (!inUserKeychain) {
            ASSERT_EQ(keychain_.SecKeychainCopyDomainDefault(kSecPreferencesDomainSystem, &system),
                      errSecSuccess);
        }
        ASSERT_TRUE(KeychainUtil::updatePassword(context_, service, account, password, "", system));
    }

    void setUsers(const std::vector<TestUser>& users) {
        TestDirectory tree(dir_ / "machine");
        for (const TestUser& user : users) tree.addUser(user);
        tree.write();
    }
    void setTool(const std::string& script) {
        writeFile(toolPath(), "#!/bin/sh\n" + script + "\n", fs::perms(0755));
    }

    // One run of lockstepd in process with this tool script (none: the tool
    // as it is): a plain run, or an enrolment of alice with `password`.
    void run(const std::string& script, std::optional<std::string_view> password = {}) {
        if (!script.empty()) setTool(script);
        PasswordDaemon command;
        if (password)
            command = {.setUser = true, .user = "alice", .password = SecretString(*password)};
        std::ostringstream out;
        static_cast<void>(command.perform(context_, out));
    }

    fs::path keychainPath() const { return dir_ / "var/lib/lockstep/System.keychain"; }
    fs::path keyPath() const { return keychainPath().string() + ".key"; }
    fs::path userKeychainPath() const { return dir_ / "root/.local/share/lockstep/login.keychain"; }
    // In folders only root can write, so that lockstepd would start it.
    fs::path toolPath() const { return toolDir_ / "usr/bin/fdesetup"; }
    fs::path recordPath() const { return dir_ / "var/lib/lockstep/last-run"; }

    // An expected text with this machine's paths in place of their names.
    std::string expand(std::string text) const {
        for (const auto& [name, path] : {std::pair{"{key}", keyPath()},
                                         {"{kc}", keychainPath()},
                                         {"{user}", userKeychainPath()},
                                         {"{tool}", toolPath()},
                                         {"{root}", dir_.path()}}) {
            for (auto at = text.find(name); at != std::string::npos; at = text.find(name, at)) {
                text.replace(at, std::string_view(name).size(), path.string());
            }
        }
        return text;
    }

    LogCapture capture_;
    TempDir dir_;
    TrustedTempDir toolDir_;
    SqliteKeychainService keychain_{{.systemKeychainPath = keychainPath(),
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
    ctl::Services::Preferences preferences_;
};

void chmod(const fs::path& path, int mode) {
    fs::permissions(path, fs::perms(mode));
}
void mkfifo(const fs::path& path) {
    fs::remove(path);
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
}

// ---- status ------------------------------------------------------------------

// The status line (and JSON problem) of each exit status.
// clang-format off
constexpr const char* kVerdicts[] = {"ready to arm", "", "nothing enrolled",
    "password no longer valid", "restart tool missing", "keychain unreadable",
    "System keychain damaged", "last arming failed", "keychain files unsafe"};
// clang-format on

// The exposition format as node_exporter's textfile collector reads it:
// each family's HELP and TYPE, then its sample, nothing else. Gives each
// family's label as "name=value" (unescaped) and value.
std::map<std::string, std::pair<std::string, double>> parsePrometheus(const std::string& text) {
    static const std::regex family(
        R"re(# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) [^\n]+\n# TYPE \1 gauge\n\1)re"
        R"re((?:\{([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\\n]|\\[\\"n])*)"\})? (\S+)\n)re");
    std::map<std::string, std::pair<std::string, double>> families;
    std::size_t consumed = 0;
    for (std::sregex_iterator it(text.begin(), text.end(), family), end;
         it != end && it->position() == static_cast<long>(consumed); ++it) {
        consumed += static_cast<std::size_t>(it->length());
        auto& [label, value] = families[(*it)[1]];
        label = (*it)[2].matched ? (*it)[2].str() + "=" : "";
        for (auto c = (*it)[3].first; c != (*it)[3].second; ++c) {
            label += *c != '\\' ? *c : *++c == 'n' ? '\n' : *c;
        }
        std::size_t used = 0;
        value = std::stod((*it)[4], &used);
        EXPECT_EQ(used, (*it)[4].length()) << "not a float: " << (*it)[0];
    }
    EXPECT_EQ(text.substr(consumed), "") << "not in the format";
    return families;
}

// A machine in one state and what status makes of it. Texts name paths as
// CtlTest::expand does.
struct StatusCase {
    const char* name;
    void (*prepare)(CtlTest&);  // on a machine where alice is enrolled
    int status;
    const char* password;          // the check's result in the JSON; none made
    std::string says;              // in the text output
    std::string cause = {};        // the start of the keychain file problem shown as the status
    std::string problem = {};      // the start of the status when it is more than its words
    const char* member = nullptr;  // a member of the JSON output (by JSON pointer)
    Json value = nullptr;          // and its value
};

const std::string kUnsafeTool = "it is writable by group or others (mode 0777)";
const std::vector<StatusCase> kStatusCases = {
    // A second credential, and a run record that is a link (not followed).
    {"Ready",
     [](CtlTest& t) {
         t.enrol("bob", kBobs);
         fs::create_symlink("System.keychain", t.recordPath());
     },
     0, "success",
     "\nheld in:      the System keychain\n"
     "              2 credentials are stored; lockstepd uses this one, the oldest\n"
     "password:     verifies against the local account\nrestart tool: {tool} is present\n"
     "restart:      not armed\nlast run:     none recorded: ",
     "", "", "/credential/account", "alice"},
    // Nothing enrolled comes before a missing tool.
    {"NothingEnrolled",
     [](CtlTest& t) {
         fs::remove_all(t.keychainPath().parent_path());
         fs::remove(t.toolPath());
     },
     2, nullptr, "System.keychain (none yet)\nenrolled:     no\n"},
    {"PasswordChanged", [](CtlTest& t) { t.setUsers({{.name = "alice", .password = "changed"}}); },
     3, "incorrectPassword", "password:     NO LONGER VALID: the account's password was changed"},
    // Every character the label format escapes, shown as printable text.
    {"AccountGone",
     [](CtlTest& t) {
         fs::remove_all(t.keychainPath().parent_path());
         t.enrol("a\"b\\c\nd");
     },
     3, "accountDoesNotExist", "account \"a\"b\\\\c\\x0ad\", stored ", "", "",
     "/credential/account", "a\"b\\c\nd"},
    {"ToolNotExecutable", [](CtlTest& t) { chmod(t.toolPath(), 0644); }, 4, "success",
     "MISSING or not executable", "", "", "/restartTool/present", false},
    // A tool lockstepd would refuse to start, with its reason.
    {"ToolWritable", [](CtlTest& t) { chmod(t.toolPath(), 0777); }, 4, "success",
     "fdesetup: UNSAFE, lockstepd refuses to run it: " + kUnsafeTool, "",
     "restart tool unsafe: " + kUnsafeTool, "/restartTool/unsafeBecause", kUnsafeTool},
    // An item whose password is empty can never be read back.
    {"KeychainUnreadable", [](CtlTest& t) { t.enrol("alice", ""); }, 5, nullptr,
     ": UNREADABLE: the stored credential cannot be read"},
    // A System keychain that cannot be used: lockstepd looks in the user's
    // keychain, and status names the one it would read. A FIFO does not
    // hold status up.
    {"DamagedNotAKeychain",
     [](CtlTest& t) { writeFile(t.keychainPath(), "junk", fs::perms(0600)); }, 6, nullptr,
     "\n              lockstepd looks in the user keychain {user} instead\n"},
    {"DamagedForeignKey",
     [](CtlTest& t) {
         writeFile(t.keyPath(), std::string(32, 'k'), fs::perms(0600));
         t.enrol("alice", kPassword, "Lockstep", true);
     },
     6, "success", "held in:      the user keychain {user}\n", "", "", "/credentialKeychain/kind",
     "user"},
    {"DamagedFifoKeychain", [](CtlTest& t) { mkfifo(t.keychainPath()); }, 6, nullptr,
     ": DAMAGED: ", "keychain {kc} is not a regular file: move it aside and enrol again"},
    // Each file a restart relies on, spoiled: the exact cause with its fix. A
    // key file the keychain service refuses makes the keychain damaged.
    {"KeychainMode", [](CtlTest& t) { chmod(t.keychainPath(), 0644); }, 8, "success", "",
     "keychain {kc} is mode 0644: chmod 600 it"},
    {"KeyMissing", [](CtlTest& t) { fs::remove(t.keyPath()); }, 6, nullptr, "",
     "key file {key} is missing: without it the stored password is lost"},
    // The last run's record: a failed arming is a problem of its own with
    // the tool's line, whatever the tool is like now; a refused enrolment is
    // no arming.
    {"LastRunToolRefused",
     [](CtlTest& t) { t.run("echo; echo '  Authentication failed: wrong password' >&2; exit 1"); },
     7, "success", "plain run, account \"alice\": Failed to authenticate with FileVault\n", "",
     "last arming failed: {tool} exited with status 1 after ", "/lastRun/run/result", "notArmed"},
    {"LastRunToolsLine", [](CtlTest& t) { t.run("echo '  refused ' >&2; exit 1"); }, 7, "success",
     " ms: \"refused\"\nstatus:"},
    {"LastRunToolUnsafe",
     [](CtlTest& t) {
         chmod(t.toolPath(), 0777);
         t.run("");
         t.setTool("exit 0");
     },
     7, "success", "", "", "last arming failed: lockstepd refused to run {tool}: " + kUnsafeTool},
    {"LastRunEnrolledSince",
     [](CtlTest& t) {
         t.run("exit 1");
         t.run("exit 0", kPassword);
     },
     0, "success",
     "enrolment, account \"alice\": Successfully authenticated with FileVault\n"
     "              {tool} exited with status 0 after ",
     "", "", "/lastRun/run/result", "armed"},
    {"LastRunRefusedEnrolment", [](CtlTest& t) { t.run("", "wrong"); }, 0, "success",
     "enrolment, account \"alice\": incorrect password\n", "", "", "/lastRun/run/result",
     "incorrectPassword"},
};
class StatusTest : public CtlTest, public ::testing::WithParamInterface<StatusCase> {};

double one(bool value) {
    return value ? 1 : 0;
}

// The text, JSON and Prometheus outputs agree on the exit status and its
// problem; status never creates a keychain, never shows or logs the secret.
TEST_P(StatusTest, ReportsTheFirstProblem) {
    if (const auto reason = untrustedTestProgramsReason()) GTEST_SKIP() << *reason;
    const StatusCase& c = GetParam();
    enrol("alice");
    c.prepare(*this);
    const bool keychainExisted = fs::exists(fs::symlink_status(keychainPath()));
    const bool userFolderExisted = fs::exists(userKeychainPath().parent_path());
    const Result text = ctl({"status"});
    const Result json = ctl({"status", "--json"});
    const Result prometheus = ctl({"status", "--prometheus"});
    EXPECT_EQ(std::vector({text.status, json.status, prometheus.status}), std::vector(3, c.status));
    EXPECT_THAT(text.out, HasSubstr(expand(c.says)));
    EXPECT_THAT(text.out,
                HasSubstr(c.cause.empty() ? "" : "\n              UNSAFE: " + expand(c.cause)));
    // The status line is the last; its start tells the problem, a failed
    // arming's goes on with the tool's run.
    const auto at = text.out.rfind("\nstatus:       ") + 15;
    const std::string line = text.out.substr(at, text.out.size() - at - 1);
    const std::string problem = expand(!c.problem.empty() ? c.problem
                                       : c.cause.empty()  ? kVerdicts[c.status]
                                                          : kVerdicts[c.status] + (": " + c.cause));
    const bool exact = c.problem.empty() && c.cause.empty() && c.status != 7;
    EXPECT_EQ(exact ? line : line.substr(0, problem.size()), problem);

    const Json parsed = Json::parse(json.out);
    const Json& keychain = parsed["keychain"];
    const Json& run = parsed["lastRun"]["run"];
    const bool readable = keychainExisted && c.status != 5 && c.status != 6;
    EXPECT_EQ((Json{parsed["ready"], parsed["problem"], parsed["password"]["result"],
                    parsed["credential"].is_null(), keychain["path"], keychain["exists"],
                    keychain["readable"], keychain["damaged"], keychain["fileProblems"].empty(),
                    parsed["lastRun"]["file"], parsed["lastRun"]["armingFailed"]}),
              (Json{c.status == 0, c.status == 0 ? Json() : Json(line),
                    c.password ? Json(c.password) : Json(),
                    text.out.find("enrolled:     yes") == std::string::npos, keychainPath(),
                    keychainExisted, readable, c.status == 6, c.cause.empty(), recordPath(),
                    c.status == 7}));
    EXPECT_EQ(c.member ? parsed[Json::json_pointer(c.member)] : Json(),
              c.value.is_string() ? Json(expand(c.value)) : c.value);

    // The same verdict for a fleet's monitoring.
    const auto families = parsePrometheus(prometheus.out);
    const auto gauge = [&](const char* name) {
        return families.contains(name) ? families.at(name).second : -1.0;
    };
    const Json& tool = parsed["restartTool"];
    EXPECT_EQ(
        (std::vector{gauge("lockstep_ready"), gauge("lockstep_status_exit_code"),
                     gauge("lockstep_enrolled"), gauge("lockstep_credential_valid"),
                     gauge("lockstep_restart_tool_ok"), gauge("lockstep_keychain_ok"),
                     gauge("lockstep_last_run_recorded"), gauge("lockstep_last_run_success"),
                     one(families.contains("lockstep_last_run_tool_duration_seconds"))}),
        (std::vector{one(c.status == 0), static_cast<double>(c.status),
                     one(!parsed["credential"].is_null()), one(parsed["password"]["valid"] == true),
                     one(tool["present"] == true && tool["safe"] == true),
                     one(c.status != 5 && c.status != 6 && c.status != 8), one(!run.is_null()),
                     run.is_null() ? -1.0 : one(run["armed"] == true),
                     one(!run.is_null() && !run["restartTool"].is_null())}));
    EXPECT_EQ(families.at("lockstep_restart_tool_ok").first, "path=" + toolPath().string());
    EXPECT_EQ(families.at("lockstep_enrolled").first,
              parsed["credential"].is_null()
                  ? ""
                  : "account=" + parsed["credential"]["account"].get<std::string>());
    EXPECT_THAT(run.is_null() ? std::string() : readFile(recordPath()), Not(HasSubstr(kPassword)));

    EXPECT_THAT(text.out + json.out + prometheus.out,
                AllOf(Not(HasSubstr(kPassword)), Not(HasSubstr(kBobs))));
    EXPECT_FALSE(capture_.contains(kPassword)) << capture_.dump();
    EXPECT_EQ(
        std::tuple(text.err + json.err + prometheus.err, fs::exists(keychainPath().parent_path()),
                   fs::exists(userKeychainPath().parent_path())),
        std::tuple("", keychainExisted, userFolderExisted));
}

INSTANTIATE_TEST_SUITE_P(Status, StatusTest, ::testing::ValuesIn(kStatusCases),
                         [](const auto& row) { return std::string(row.param.name); });

// ---- list, show, disarm, enrol -----------------------------------------------

TEST_F(CtlTest, ListAndShowGiveAttributesAndAclsButNoSecret) {
    enrol("alice");
    enrol("bob", kBobs);
    enrol("carol", "carols password", "Other");
    const Result list = ctl({"list"});
    // The partition list that enrolment writes, read back from its hex text.
    EXPECT_THAT(list.out,
                AllOf(StartsWith("keychain: " + keychainPath().string() + "\n"),
                      HasSubstr("item 1\n  service:      Lockstep\n  account:      alice\n"),
                      HasSubstr("item 3\n  service:      Other\n  account:      carol\n"),
                      HasSubstr("created:      "), HasSubstr("ACLAuthorizationDecrypt"),
                      HasSubstr("partitions:   apple:, teamid:Q7M4ZK2RTD\n")));
    const Result show = ctl({"show", "Lockstep", "--account", "bob"});
    EXPECT_THAT(show.out, AllOf(HasSubstr("account:      bob"), Not(HasSubstr("alice"))));
    // As JSON: the items with their numbers in the whole keychain.
    const Result listJson = ctl({"list", "--json"});
    const Json listed = Json::parse(listJson.out);
    const Result showJson = ctl({"show", "Lockstep", "--account", "bob", "--json"});
    const Json shown = Json::parse(showJson.out)["items"];
    EXPECT_EQ(
        (Json{show.status, showJson.status, listed["keychain"], listed["items"][2]["service"],
              shown.size(), shown[0]["number"], listed["items"][0]["acls"].back()["partitions"]}),
        (Json{0, 0, keychainPath(), "Other", 1, 2, {"apple:", "teamid:Q7M4ZK2RTD"}}));
    EXPECT_THAT(list.out + list.err + listJson.out,
                AllOf(Not(HasSubstr(kPassword)), Not(HasSubstr("s password"))));

    const Result noneJson = ctl({"show", "Lockstep", "--account", "dave", "--json"});
    const Result none = ctl({"show", "Lockstep", "--account", "dave"});
    EXPECT_EQ(std::tuple(noneJson.status, Json::parse(noneJson.out)["items"].size(), none.status,
                         none.out + none.err),
              std::tuple(2, 0U, 2,
                         "lockstepctl: no item of service \"Lockstep\" for account \"dave\" in " +
                             keychainPath().string() + "\n"));
}

TEST_F(CtlTest, UnreadableKeychainFilesAreOneLineErrors) {
    writeFile(dir_ / "junk.keychain", "junk");
    mkfifo(dir_ / "fifo.keychain");  // must not block
    for (const char* name : {"missing.keychain", "junk.keychain", "fifo.keychain"}) {
        const Result result = ctl({"list", "--keychain", (dir_ / name).string()});
        EXPECT_EQ(std::tuple(result.status, result.out, std::ranges::count(result.err, '\n')),
                  std::tuple(5, "", 1));
        EXPECT_THAT(result.err, StartsWith("lockstepctl: cannot read " + (dir_ / name).string()));
    }
    // A System keychain that does not exist yet simply holds nothing.
    EXPECT_THAT(ctl({"list"}).out, HasSubstr("(no items)"));
    EXPECT_FALSE(fs::exists(keychainPath()));
}

// disarm removes the service's credentials from the System keychain: all, or
// one account's (an empty account would match every account: refused).
TEST_F(CtlTest, DisarmRemovesTheCredentialsAndUnloadsAnArmedRestart) {
    EXPECT_EQ(ctl({"disarm"}).status, 2);
    EXPECT_FALSE(fs::exists(keychainPath().parent_path()));
    for (const char* account : {"alice", "bob", "erin"}) enrol(account);
    enrol("carol", "x", "Other");
    EXPECT_EQ(ctl({"disarm", "--account", ""}).status, 2);
    EXPECT_EQ(ctl({"disarm", "--account", "bob"}).out,
              "removed 1 stored credential of service \"Lockstep\" for account \"bob\"\n"
              "2 other credentials of service \"Lockstep\" remain; lockstepd still arms restarts "
              "with the oldest\n");
    EXPECT_EQ(ctl({"disarm", "--account", "bob"}).status, 2);
    const Result result = ctl({"disarm"});
    EXPECT_EQ(std::tuple(result.status, result.out),
              std::tuple(0, "removed 2 stored credentials of service \"Lockstep\"\n"));
    EXPECT_TRUE(capture_.contains("removed 2 stored credential(s) of service Lockstep"));
    EXPECT_THAT(ctl({"list"}).out, AllOf(Not(HasSubstr("Lockstep")), HasSubstr("carol")));
    EXPECT_EQ(ctl({"disarm"}).err,
              "lockstepctl: no credential of service \"Lockstep\" is stored\n");
    enrol("dave");
    EXPECT_EQ(ctl({"disarm", "--account", "dave"}).out,
              "removed 1 stored credential of service \"Lockstep\" for account \"dave\"\n");

    // An armed restart shows in the status and goes with disarm, whether or
    // not a credential was stored; a failed unload is a failure.
    struct Step {
        std::optional<bool> armed;
        std::optional<std::string> unsupported;
        int unloadError, disarmStatus, unloads;
        std::string statusLine;
    };
    // clang-format off
    const Step steps[] = {{true, {}, 0, 2, 1, "armed\n"}, {false, {}, 0, 2, 0, "not armed\n"},
        {true, "no LUKS root", EPERM, 1, 1, "armed; the tool cannot arm one here: no LUKS root\n"},
        {{}, {}, 0, 2, 0, "cannot be armed on this kernel (no kexec)\n"}};
    // clang-format on
    for (const Step& step : steps) {
        SCOPED_TRACE(step.statusLine);
        armed_ = step.armed;
        unsupported_ = step.unsupported;
        unloadError_ = step.unloadError;
        unloads_ = 0;
        EXPECT_THAT(ctl({"status"}).out, HasSubstr("restart:      " + step.statusLine));
        EXPECT_EQ(Json::parse(ctl({"status", "--json"}).out)["restartTool"]["supported"],
                  !step.unsupported);
        const Result disarmed = ctl({"disarm"});
        const bool unloaded = disarmed.out.find("unloaded the armed") != std::string::npos;
        EXPECT_EQ(std::tuple(disarmed.status, unloads_, unloaded),
                  std::tuple(step.disarmStatus, step.unloads, step.unloads && !step.unloadError));
    }
}

TEST_F(CtlTest, UntrustedAttributesAreShownSafely) {
    enrol("evil\x1b]0;owned\x07name");
    EXPECT_THAT(ctl({"list"}).out, HasSubstr("account:      evil\\x1b]0;owned\\x07name\n"));
    const std::pair<std::string, std::string> cases[] = {
        {"a\tb\nc\x7f back\\slash", "a\\x09b\\x0ac\\x7f back\\\\slash"},
        {"c1 \xc2\x9b[1m bad \xff\xc3", "c1 \\xc2\\x9b[1m bad \\xff\\xc3"},
        {"\xe2\x80\xaa\xe2\x80\xae\xe2\x81\xa6\xe2\x81\xa9\xe2\x80\x8e\xe2\x80\x8f\xd8\x9c",
         "\\u202a\\u202e\\u2066\\u2069\\u200e\\u200f\\u061c"},
        // Their neighbours are ordinary text: dashes, a zero-width joiner,
        // U+2065 (unassigned), an Arabic letter; so are accents and a no-break space.
        {"caf\xc3\xa9\xc2\xa0\xe2\x82\xac\xe2\x80\x94\xe2\x80\x8d\xe2\x80\xaf\xe2\x81\xa5\xd8\xa8",
         "caf\xc3\xa9\xc2\xa0\xe2\x82\xac\xe2\x80\x94\xe2\x80\x8d\xe2\x80\xaf\xe2\x81\xa5\xd8\xa8"},
    };
    for (const auto& [text, shown] : cases) EXPECT_EQ(ctl::printable(text), shown) << shown;
    // A partition description that is no hexadecimal property list.
    EXPECT_FALSE(ctl::decodePartitionDescription("zz") || ctl::decodePartitionDescription("") ||
                 ctl::decodePartitionDescription("616263"));
}

// ---- check-config ------------------------------------------------------------

// A preference file's text with these "key=value" settings, ';'-separated (a
// value that is no element is a <string>).
std::string plist(const std::string& settings) {
    std::string text =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n";
    std::istringstream items(settings);
    for (std::string key, value;
         std::getline(items, key, '=') && std::getline(items, value, ';');) {
        text += "<key>" + key + "</key>" +
                (value.starts_with('<') ? value : "<string>" + value + "</string>");
    }
    return text + "\n</dict>\n</plist>\n";
}

// Each problem on its own line, and exit status 9 when there is any.
TEST_F(CtlTest, CheckConfigReportsEachProblemOnItsOwnLine) {
    // Log folders: "logs" (good), "open" (writable by others), and the home
    // folder "home" (of the checking user and of "carol") with a good "logs".
    fs::permissions(dir_.path(), fs::perms(0755));
    fs::create_directories(dir_ / "home/logs");
    fs::create_directory(dir_ / "logs");
    fs::create_directory(dir_ / "open");
    chmod(dir_ / "open", 0777);
    const std::string home = (dir_ / "home").string();
    preferences_ = {.files = {},
                    .userID = static_cast<std::uint32_t>(::geteuid()),
                    .homeFolderForUser = [home](std::uint32_t) { return home; },
                    .homeFolderForUserName =
                        [home](const std::string& name) {
                            return name == "carol" ? std::optional(home) : std::nullopt;
                        }};
    // Files with problems (one is named twice and checked twice) and a part
    // of each line about them: the file's own first, then its keys in order.
    struct File {
        const char* name;
        std::string contents, says;
    };
    const File files[] = {
        // Clean: truth values as a text or a number, ~ and ~name expanded, an
        // empty text unset.
        {"clean", plist("LogFolderPath={root}/logs;showDebug=yes;LogFileName=x.log"), ""},
        {"tilde", plist("LogFileName=;LogFolderPath=~/logs;showDebug=<integer>0</integer>"), ""},
        {"carol", plist("LogFolderPath=~carol/logs"), ""},
        {"text", "LogFileName=x\n", "is not a property list, so lockstepd ignores it"},
        {"text", "LogFileName=x\n", "is not a property list"},
        {"array", "<plist version=\"1.0\"><array/></plist>", "without a dictionary at its root"},
        {"keys", plist("Colour=blue;LogFileName=../etc/x;ShowDebug=<true/>;showDebug=on"),
         "Colour: unknown setting, which lockstepd ignores\nLogFileName: '../etc/x' is not one "
         "plain file name\nShowDebug: unknown setting, which lockstepd ignores (did you mean "
         "showDebug?)\nshowDebug: the text 'on' reads as false: use <true/> or <false/>"},
        {"kinds",
         plist("LogFileName=<integer>3</integer>;LogFolderPath=<true/>;showDebug=<array/>"),
         "LogFileName: is a number, not a text\nLogFolderPath: is a Boolean\nshowDebug: is an "
         "array, dictionary, date or data, not a Boolean"},
        {"relative", plist("LogFolderPath=logs"), "LogFolderPath: 'logs' is not an absolute path"},
        {"nobody", plist("LogFolderPath=~nobody-here/logs"), "names a user without a home folder"},
        {"absent", plist("LogFolderPath={root}/none"),
         "LogFolderPath: folder '{root}/none' does not exist, so lockstepd logs to its default"},
        {"shared", plist("LogFolderPath={root}/open"),
         "is writable by others, so lockstepd logs to a fresh temporary folder"},
        {"group", plist(""), "is writable by group or others (mode 0664): chmod go-w it"},
        {"link", "junk", "is a symbolic link, which lockstepd follows\nis not a property list"},
        {"folder", "", "is not a regular file"},
        {"stranger", plist(""), "is owned by user 65534, not root: chown it"}};
    preferences_.files.clear();
    for (const File& file : files) {
        writeFile(dir_ / file.name, expand(file.contents), fs::perms(0644));
        preferences_.files.push_back(dir_ / file.name);
    }
    chmod(dir_ / "group", 0664);
    fs::rename(dir_ / "link", dir_ / "target");
    fs::create_symlink(dir_ / "target", dir_ / "link");
    fs::remove(dir_ / "folder");
    fs::create_directory(dir_ / "folder");
    ASSERT_EQ(::chown((dir_ / "stranger").c_str(), 65534, 0), 0);
    const Result result = ctl({"check-config"});
    EXPECT_EQ(std::tuple(result.status, result.err), std::tuple(9, ""));
    std::istringstream lines(result.out);
    std::string line;
    for (const File& file : files) {
        std::istringstream parts(expand(file.says));
        for (std::string part; std::getline(parts, part);) {
            std::getline(lines, line);  // empty when there is none
            EXPECT_THAT(line,
                        AllOf(StartsWith((dir_ / file.name).string() + ": "), HasSubstr(part)));
        }
    }
    EXPECT_FALSE(std::getline(lines, line)) << "more problems: " << line;
    // A file that is missing has no problem either.
    preferences_.files = {dir_ / "clean", dir_ / "tilde", dir_ / "carol", dir_ / "missing"};
    EXPECT_EQ(ctl({"check-config"}), (Result{0, "no problems found\n", ""}));
}

// enrol is lockstepd's enrolment with the password from standard input (or
// the terminal): the same lines, store and arming; its exit status says
// whether the restart was armed.
TEST_F(CtlTest, EnrolTakesThePasswordFromStandardInput) {
    for (const auto& [input, status, output] :
         std::vector<std::tuple<std::string, int, std::string>>{
             {"wrong\n", 1, "alice ********\nincorrect password\n"},
             {"", 1, "lockstepctl: no password was given\n"},
             {std::string(5000, 'x'), 1, "lockstepctl: the password is longer than 4096 bytes\n"},
             {kPassword + "\x01\n", 64,
              "lockstepctl: the password is not UTF-8 text the restart tool can take\n"},
             {kPassword + "\r\nignored\n", 0,
              "alice ********\nSuccessfully authenticated with FileVault\n"}}) {
        const Result result = ctl({"enrol", "--user", "alice", "--password-stdin"}, input);
        EXPECT_EQ(std::tuple(result.status, result.out + result.err), std::tuple(status, output));
    }
    EXPECT_EQ(Json::parse(ctl({"list", "--json"}).out)["items"].size(), 1U);
    const Result noTerminal = ctl({"enrol", "--user", "bob"});
    EXPECT_EQ(noTerminal.status, 1);
    EXPECT_THAT(noTerminal.err, HasSubstr("--password-stdin"));
}

// The installed program: a copy of a keychain is listed without its key and
// without anything created next to it; a usage error is one line with exit
// status 64.
TEST_F(CtlTest, TheProgramItself) {
    enrol("alice");
    const fs::path copy = dir_ / "copy/System.keychain";
    writeFile(copy, readFile(keychainPath()));
    // The words of `command` as its arguments.
    const auto lockstepctl = [](const std::string& command) {
        std::istringstream words(command);
        SpawnResult spawned =
            spawnProcess({.program = LOCKSTEPCTL_BINARY,
                          .arguments = {std::istream_iterator<std::string>(words), {}},
                          .input = ChildStream::Null,
                          .output = ChildStream::Pipe,
                          .error = ChildStream::Pipe});
        const ProcessOutput output = spawned.process.value().communicate();
        const auto status = spawned.process.value().wait().value();
        return Result{status.exited ? status.code : -1, toString(output.output),
                      toString(output.error)};
    };
    const Result listed = lockstepctl("list --keychain " + copy.string());
    EXPECT_EQ(listed.status, 0) << listed.err;
    EXPECT_THAT(listed.out, AllOf(HasSubstr("account:      alice"), Not(HasSubstr(kPassword))));
    EXPECT_EQ(std::distance(fs::directory_iterator(copy.parent_path()), {}), 1);
    for (const char* command : {"", "show", "status --bogus", "status --json --prometheus",
                                "enrol --user a --password x"}) {
        const Result result = lockstepctl(command);
        EXPECT_EQ(std::tuple(result.status, result.out, std::ranges::count(result.err, '\n')),
                  std::tuple(64, "", 1))
            << command;
        EXPECT_THAT(result.err, StartsWith("lockstepctl: "));
    }
    EXPECT_EQ(lockstepctl("frobnicate").err,
              "lockstepctl: unknown command 'frobnicate' (see lockstepctl --help)\n");
    EXPECT_THAT(lockstepctl("--version").out, StartsWith("lockstepctl 1."));
    EXPECT_THAT(lockstepctl("show --help").out, HasSubstr("--account"));
}

}  // namespace
}  // namespace lockstep::testing
