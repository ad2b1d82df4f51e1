// The real lockstepd in a sandboxed mount namespace: its own account files,
// keychain folder, log folder and stand-in restart tool.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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
const std::string kNotArmed = "Failed to authenticate with FileVault\n";
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
    [[nodiscard]] auto stored() { return readKeychain(sb().systemKeychain()).items; }
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
    EXPECT_FALSE(fs::exists(sb().path() / "root/.local"));

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
    // A password beginning with "-" is taken when joined with "=". Items of
    // other accounts stay.
    addUser("carol", "-dash", 504);
    EXPECT_EQ(sb().run({"-s", "-u", "carol", "--password=-dash"}).out, "carol ********\n" + kArmed);
    std::vector<std::pair<std::optional<std::string>, std::string>> credentials;
    for (const auto& item : stored()) {
        credentials.emplace_back(item.account, item.password);
    }
    EXPECT_EQ(credentials, (decltype(credentials){{"dave", password}, {"carol", "-dash"}}));

    // The tool refusing the next request makes the last arming a failure.
    const auto status = sb().runScript(
        "\"$LOCKSTEPD\" >/dev/null 2>&1; \"$LOCKSTEPCTL\" status || echo \"exit $?\"",
        {{"FAKE_FDESETUP_END", "2"}, {"FAKE_FDESETUP_OUTPUT", "2:request refused"}});
    EXPECT_TRUE(std::regex_search(
        status.out, std::regex("\nstatus: +last arming failed: /usr/bin/fdesetup exited with "
                               "status 2 after \\d+ ms: \"request refused\"\nexit 7\n")))
        << status.out << status.err;

    sb().setPreferences("<key>showDebug</key><true/>");
    fs::remove(sb().fdesetupFile());
    const auto missing = sb().run({});
    EXPECT_EQ(std::tuple(missing.exitCode, missing.out), std::tuple(0, kNotArmed));
    EXPECT_TRUE(has(missing.err, "Failed to run command: ")) << missing.err;
}

// A refused enrolment prints its line, keeps the stored credential and arms
// nothing; so does one into a keychain folder without room.
TEST_F(EndToEnd, RefusedEnrolmentsKeepTheStoredCredential) {
    ASSERT_EQ(enrol(kUser, kPassword).out, kEnrolled);
    const KeychainContents before = readKeychain(sb().systemKeychain());
    addUser("locked", "pw", 502, AccountState::locked);
    addUser("gone", "pw", 503, AccountState::disabled);
    sb().setPassword(kUser, "new pw");
    const std::string script = R"(k=/var/lib/lockstep
        if [ -n "$FULL" ]; then
            cp -p "$SANDBOX"/var-lib/lockstep/System.keychain* "$k/"
            dd if=/dev/zero of="$k/filler" bs=4096 2>/dev/null || true
        fi
        "$LOCKSTEPD" --set-user --user "$U" --password "$P"
        rm -rf "$SANDBOX/after" && mkdir "$SANDBOX/after" && cp -p "$k"/System.keychain* "$SANDBOX/after/")";
    for (const auto& [user, password, full, line] :
         {std::tuple{"alice", "wrong", false, "incorrect password\n"},
          {"nobody", "pw", false, "account Does Not Exist\n"},
          {"locked", "pw", false, "account locked\n"},
          {"gone", "pw", false, "account locked\n"},
          {"alice", "new pw", true, "password set failed\n"}}) {
        SCOPED_TRACE(user);
        fs::remove(sb().path() / "fdesetup-record.stdin");
        sb().setKeychainTmpfs(full ? std::optional<std::string>("256k") : std::nullopt);
        const auto result =
            sb().runScript(script, {{"U", user}, {"P", password}, {"FULL", full ? "1" : ""}});
        EXPECT_EQ(std::tuple(result.exitCode, result.out),
                  std::tuple(0, std::string(user) + " ********\n" + line))
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
        log, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d([+-]\d\d:\d\d|Z) lockstepd\(\d+\):  +)"
                        R"(password_daemon\.cpp:\d+ run\(\) Successfully authenticated)")))
        << log;
    EXPECT_TRUE(has(log, "setting new password success"));
    EXPECT_EQ(fs::status(logFolder).permissions(), fs::perms(0770));
    std::vector<std::pair<std::string, std::string>> places = {
        {"output", result.out + result.err},
        {"keychain", readFile(sb().systemKeychain())},
        {"journal", readFile(sb().systemKeychain().string() + "-journal")},
        {"tool arguments", sb().fdesetupRecord("args").value()},
        {"tool environment", sb().fdesetupRecord("env").value()},
    };
    for (const auto& entry : fs::directory_iterator(logFolder)) {
        places.emplace_back(entry.path().string(), readFile(entry.path()));
    }
    for (const auto& [what, text] : places) {
        EXPECT_FALSE(has(text, kPassword)) << what;
    }
    // Without showDebug only errors and information reach the file.
    sb().setPreferences("");
    fs::remove(logFile);
    ASSERT_EQ(sb().run({}).out, kArmed);
    EXPECT_FALSE(has(readFile(logFile), "run()"));
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
    EXPECT_TRUE(stored().empty());
}

// lockstepctl enrol reads the password from standard input: it shows in no
// process's command line while the run goes on.
TEST_F(EndToEnd, EnrolFromStandardInputKeepsThePasswordOutOfEveryCommandLine) {
    // Other tests running at the same time put theirs on command lines.
    const std::string password = "stdin only " + std::to_string(::getpid());
    sb().setPassword(kUser, password);
    writeFile(sb().path() / "password", password + "\n");
    const auto result = sb().runScript(R"(
        (while [ ! -e "$SANDBOX/done" ]; do cat /proc/[0-9]*/cmdline 2>/dev/null || true; done \
            > "$SANDBOX/cmdlines") &
        "$LOCKSTEPCTL" enrol --user alice --password-stdin < "$SANDBOX/password"
        touch "$SANDBOX/done"
        wait)");
    EXPECT_EQ(std::tuple(result.exitCode, result.out), std::tuple(0, kEnrolled)) << result.err;
    EXPECT_EQ(toolInput(), request(kUser, password));
    const std::string seen = readFile(sb().path() / "cmdlines");
    EXPECT_TRUE(has(seen, "enrol")) << "the watcher saw nothing";
    EXPECT_FALSE(has(seen, password));
}

// Two enrolments at once into one keychain leave one whole item.
TEST_F(EndToEnd, ConcurrentEnrolmentsLeaveOneItem) {
    const auto result = sb().runScript(
        R"(for i in 1 2; do "$LOCKSTEPD" -s -u alice -p "$P" >"$SANDBOX/out.$i" & done
        wait; cat "$SANDBOX"/out.*)",
        {{"P", kPassword}});
    const KeychainContents keychain = readKeychain(sb().systemKeychain());
    EXPECT_EQ(
        std::tuple(result.out, keychain.integrity, keychain.items.size(), stored().at(0).password),
        std::tuple(kEnrolled + kEnrolled, "ok", 1U, kPassword));
}

// Another user made /tmp/lockstep writable by all and put a link to a file
// of theirs at its generic.log: nothing is written through it, and the run's
// lines go to a fresh /tmp/tessel-XXXXXX folder, made by and for root.
TEST_F(EndToEnd, ALogFolderOfAnotherUserIsNotWrittenThrough) {
    const fs::path folder = sb().path() / "tmp/lockstep", log = folder / "generic.log";
    const fs::path target = sb().path() / "outside/precious";
    writeFile(target, "precious\n", fs::perms(0644));
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms(0777));
    fs::create_symlink(target, log);
    for (const fs::path& path : {target, folder, log}) {
        ASSERT_EQ(::lchown(path.c_str(), 65534, 65534), 0) << path;
    }
    sb().setPreferences("<key>showDebug</key><true/>");
    EXPECT_EQ(enrol(kUser, kPassword).out, kEnrolled);
    EXPECT_EQ(std::tuple(fs::read_symlink(log), readFile(target), fs::status(target).permissions()),
              std::tuple(target, "precious\n", fs::perms(0644)));
    std::vector<fs::path> fresh;
    for (const auto& entry : fs::directory_iterator(sb().path() / "tmp")) {
        if (entry.path().filename().string().starts_with("tessel-")) {
            fresh.push_back(entry.path());
        }
    }
    ASSERT_EQ(fresh.size(), 1U);
    EXPECT_TRUE(has(readFile(fresh[0] / "generic.log"), "run() Successfully authenticated"));
    struct stat info {};
    ASSERT_EQ(::lstat(fresh[0].c_str(), &info), 0);
    EXPECT_EQ(std::pair(info.st_uid, info.st_mode & 0777U), std::pair(0U, 0700U));
}

// The daemon survives the tool, logs what came of it and prints the result.
// The request is made many times what a pipe holds by a long account name.
TEST_F(EndToEnd, TheDaemonSurvivesAMisbehavingOrUnsafeTool) {
    const std::string user(20000, '&');
    addUser(user, kPassword, 502);
    sb().setPreferences("<key>showDebug</key><true/>");
    const struct {
        Env steering;
        fs::perms toolMode;
        const char* logged;  // a line the daemon logs about the tool
    } cases[] = {
        // Only the first 64 KiB of output are kept; the rest is read and counted.
        {{{"FAKE_FDESETUP_FLOOD", "8388608"}},
         fs::perms(0755),
         "Dropped 8323072 bytes of output of /usr/bin/fdesetup beyond the first 65536"},
        // What the tool left holding its output is not waited for, and ends.
        {{{"FAKE_FDESETUP_OUTPUT", "1:armed"}, {"FAKE_FDESETUP_LINGER", "600"}},
         fs::perms(0755),
         "The output of /usr/bin/fdesetup was still held open 2 seconds after it exited"},
        {{},
         fs::perms(0777),
         "Refusing to run /usr/bin/fdesetup: it is writable by group or others (mode 0777)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.logged);
        fs::remove(sb().path() / "fdesetup-record.stdin");
        fs::permissions(sb().fdesetupFile(), c.toolMode);
        const auto result = enrol(user, kPassword, c.steering);
        const bool armed = c.toolMode == fs::perms(0755);
        EXPECT_EQ(std::tuple(result.exitCode, result.out, toolInput().has_value()),
                  std::tuple(0, user + " ********\n" + (armed ? kArmed : kNotArmed), armed));
        EXPECT_TRUE(has(result.err, c.logged)) << result.err.substr(0, 4096);
    }
    const auto grandchild = sb().fdesetupRecord("grandchild");
    ASSERT_TRUE(grandchild);
    EXPECT_TRUE(processHasEnded(std::stoi(*grandchild))) << "grandchild " << *grandchild;
}

// A System keychain that enrolment cannot use: the credential goes to root's
// own keychain, and the run at boot, with /root read only as the service unit
// leaves it, still reads it from there.
struct Damage {
    const char* name;
    void (*apply)(const fs::path& keychain, const fs::path& key);
};

class FallbackKeychain : public EndToEnd, public ::testing::WithParamInterface<Damage> {};

TEST_P(FallbackKeychain, IsReadAtBootUnderAReadOnlyHome) {
    const fs::path system = sb().systemKeychain();
    ASSERT_EQ(enrol(kUser, kPassword).out, kEnrolled);
    GetParam().apply(system, system.string() + ".key");
    sb().setPassword(kUser, "new password");
    ASSERT_EQ(enrol(kUser, "new password").out, kEnrolled);
    ASSERT_TRUE(fs::exists(sb().path() / "root/.local/share/lockstep/login.keychain"));
    sb().setReadOnlyHome(true);
    const auto boot = sb().run({});
    EXPECT_EQ(std::tuple(boot.exitCode, boot.out, toolInput()),
              std::tuple(0, kArmed, request(kUser, "new password")))
        << boot.err;
    EXPECT_TRUE(has(boot.err, "System keychain not available"));
    EXPECT_EQ(sb().runScript("touch /root/probe 2>/dev/null || echo refused").out, "refused\n");
}

INSTANTIATE_TEST_SUITE_P(
    Damages, FallbackKeychain,
    ::testing::Values(Damage{"KeyReadableByOthers",
                             [](auto&, auto& key) { fs::permissions(key, fs::perms(0644)); }},
                      Damage{"KeyOfAnotherMachine",
                             [](auto&, auto& key) {
                                 writeFile(key, std::string(32, 'k'), fs::perms(0600));
                             }},
                      Damage{"TruncatedDatabase",
                             [](auto& keychain, auto&) {
                                 fs::resize_file(keychain, fs::file_size(keychain) / 2);
                             }}),
    [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace lockstep::testing
