// Runs the real lockstepd binary in a sandboxed mount namespace: its own
// account files, System keychain folder, log folder and stand-in restart tool.

#include <gtest/gtest.h>
#include <unistd.h>

#include <numeric>
#include <regex>

#include "daemon/run_record.h"
#include "fault_fixtures.h"

namespace lockstep::testing {
namespace {

namespace fs = std::filesystem;
using EndToEnd = SandboxTest;
using Args = std::vector<std::string>;

TEST_F(EndToEnd, EnrolmentStoresTheCredentialAndPlainRunsArmTheRestart) {
    const auto empty = sandbox().run({});
    EXPECT_EQ(std::tuple(empty.exitCode, empty.out), std::tuple(0, ""));
    EXPECT_FALSE(sandbox().fdesetupInput());

    // Markup and a carriage return reach the tool escaped, and a plain run hands the stored
    // credential over the same way.
    const std::string password = "a<b&c>d\"'\r";
    addUser("dave", password, 505);
    EXPECT_EQ(enrol("dave", password).out, "dave ********\n" + kArmed);
    fs::remove(sandbox().path() / "fdesetup-record.stdin");
    const auto plain = sandbox().run({});
    EXPECT_EQ(std::tuple(plain.exitCode, plain.out), std::tuple(0, kArmed));
    EXPECT_EQ(sandbox().fdesetupRecord("args"),
              std::string("authrestart\0-delayminutes\0-1\0-inputplist\0", 41));
    EXPECT_EQ(sandbox().fdesetupInput(), request("dave", "a&lt;b&amp;c&gt;d&quot;&apos;&#13;"));
    // A password beginning with "-" is taken when joined with "=". Items of
    // other accounts stay.
    addUser("carol", "-starts-with-dash", 504);
    EXPECT_EQ(sandbox().run({"-s", "-u", "carol", "-p", "-starts-with-dash"}).exitCode, 64);
    EXPECT_EQ(sandbox().run({"-s", "-u", "carol", "--password=-starts-with-dash"}).out,
              "carol ********\n" + kArmed);
    std::vector<std::pair<std::optional<std::string>, std::string>> credentials;
    for (const auto& item : stored()) {
        credentials.emplace_back(item.account, item.password);
    }
    EXPECT_EQ(credentials,
              (decltype(credentials){{"dave", password}, {"carol", "-starts-with-dash"}}));

    // The run's record beside the keychain, as lockstepctl status reads it;
    // the tool refusing the next request makes the last arming a failure.
    std::string why;
    const auto run = readRunRecord(sandbox().systemKeychain().parent_path() / "last-run", &why);
    ASSERT_TRUE(run) << why;
    EXPECT_TRUE(run->enrolment && run->armed);
    EXPECT_EQ(run->keychain->path, "/var/lib/lockstep/System.keychain");
    const auto status = sandbox().runScript(
        "\"$LOCKSTEPD\" >/dev/null 2>&1; \"$LOCKSTEPCTL\" status || echo \"exit $?\"",
        {{"FAKE_FDESETUP_END", "2"}, {"FAKE_FDESETUP_OUTPUT", "2:request refused"}});
    EXPECT_TRUE(std::regex_search(
        status.out, std::regex("\nstatus: +last arming failed: /usr/bin/fdesetup exited with "
                               "status 2 after \\d+ ms: \"request refused\"\nexit 7\n")))
        << status.out << status.err;

    // A missing tool: the run fails and says why.
    sandbox().setPreferences("<key>showDebug</key><true/>");
    sandbox().removeFdesetup();
    const auto missing = sandbox().run({});
    EXPECT_EQ(std::tuple(missing.exitCode, missing.out), std::tuple(0, kNotArmed));
    EXPECT_NE(missing.err.find("Failed to run command: "), std::string::npos);
}

TEST_F(EndToEnd, RefusedEnrolmentsPrintTheirLineAndStoreNothing) {
    addUser("locked", "pw", 502, AccountState::locked);
    addUser("gone", "pw", 503, AccountState::disabled);
    for (const auto& [user, password, line] : {std::tuple{"alice", "wrong", "incorrect password"},
                                               std::tuple{"nobody", "pw", "account Does Not Exist"},
                                               std::tuple{"locked", "pw", "account locked"},
                                               std::tuple{"gone", "pw", "account locked"}}) {
        const auto result = enrol(user, password);
        EXPECT_EQ(std::tuple(result.exitCode, result.out),
                  std::tuple(0, std::string(user) + " ********\n" + line + "\n"));
        EXPECT_TRUE(stored().empty()) << user;
        EXPECT_FALSE(sandbox().fdesetupInput()) << user;
    }
}

// With showDebug the log file holds every line, timestamped; the password in
// clear is nowhere but in the request on the tool's standard input.
TEST_F(EndToEnd, LogFileHoldsTimestampedLinesAndNeverThePassword) {
    sandbox().setPreferences("<key>showDebug</key><string>YES</string>");
    const auto enrolled = enrol(kUser, kPassword);
    ASSERT_EQ(enrolled.out, kEnrolled);
    EXPECT_NE(enrolled.err.find("setting new password success"), std::string::npos);
    ASSERT_NE(sandbox().fdesetupInput().value_or("").find(kPassword), std::string::npos);
    const auto logFile = sandbox().logFolder() / "generic.log";
    const std::string log = readFile(logFile);
    EXPECT_TRUE(std::regex_search(
        log, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d([+-]\d\d:\d\d|Z) lockstepd\(\d+\):  +)"
                        R"(password_daemon\.cpp:\d+ run\(\) Successfully authenticated)")))
        << log;
    EXPECT_NE(log.find("setting new password success"), std::string::npos);
    EXPECT_EQ(fs::status(sandbox().logFolder()).permissions(), fs::perms(0770));

    std::vector<std::pair<std::string, std::string>> places = {
        {"output", enrolled.out + enrolled.err},
        {"keychain", readFile(sandbox().systemKeychain())},
        {"journal", readFile(sandbox().systemKeychain().string() + "-journal")},
        {"tool arguments", sandbox().fdesetupRecord("args").value()},
        {"tool environment", sandbox().fdesetupRecord("env").value()},
    };
    for (const auto& entry : fs::directory_iterator(sandbox().logFolder())) {
        places.emplace_back(entry.path().string(), readFile(entry.path()));
    }
    for (const auto& [what, text] : places) {
        EXPECT_EQ(text.find(kPassword), std::string::npos) << what;
    }

    // Without showDebug only errors and information reach the file.
    sandbox().setPreferences("");
    fs::remove(logFile);
    ASSERT_EQ(sandbox().run({}).out, kArmed);
    EXPECT_EQ(readFile(logFile).find("run()"), std::string::npos);
}

TEST_F(EndToEnd, UsageErrorsExit64WithoutShowingThePassword) {
    const std::string password = kPassword;
    for (const Args& arguments : {Args{"--bogus"}, Args{"-s", "-u", kUser, "-p" + password},
                                  Args{"-s", "-u", kUser, "--pasword", password},
                                  Args{"-s", "-u", kUser, "-p", password + "\x01"},
                                  Args{"--password=\xff" + password}, Args{"--", "-p", password}}) {
        const auto result = sandbox().run(arguments);
        EXPECT_EQ(std::tuple(result.exitCode, result.out), std::tuple(64, "")) << result.err;
        EXPECT_EQ(result.err.rfind("Error: ", 0), 0U) << result.err;
        EXPECT_NE(result.err.find("\nUsage: lockstepd [--set-user]"), std::string::npos);
        EXPECT_EQ(result.err.find(kPassword), std::string::npos) << result.err;
    }
    const auto help = sandbox().run({"-s", "-u", kUser, "-p", kPassword, "-h"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("user password to put into keychain"), std::string::npos);
    // An incomplete enrolment takes the plain path.
    for (const Args& arguments :
         {Args{"--set-user", "--user", kUser}, Args{"--user", kUser, "--password", kPassword}}) {
        const auto result = sandbox().run(arguments);
        EXPECT_EQ(std::tuple(result.exitCode, result.out), std::tuple(0, ""));
    }
    EXPECT_TRUE(stored().empty());
}

// lockstepctl enrol reads the password from standard input: it shows in no
// process's command line while the run goes on.
TEST_F(EndToEnd, EnrolFromStandardInputKeepsThePasswordOutOfEveryCommandLine) {
    // A password of this test alone: other tests running at the same time put
    // theirs on command lines on purpose.
    const std::string password = "stdin only " + std::to_string(::getpid());
    sandbox().setPassword(kUser, password);
    writeFile(sandbox().path() / "password", password + "\n");
    const auto result = sandbox().runScript(R"(
        (while [ ! -e "$SANDBOX/done" ]; do cat /proc/[0-9]*/cmdline 2>/dev/null || true; done \
            > "$SANDBOX/cmdlines") &
        "$LOCKSTEPCTL" enrol --user alice --password-stdin < "$SANDBOX/password" > "$SANDBOX/out"
        touch "$SANDBOX/done"
        wait)");
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(readFile(sandbox().path() / "out"), kEnrolled);
    EXPECT_EQ(sandbox().fdesetupInput(), request(kUser, password));
    const std::string seen = readFile(sandbox().path() / "cmdlines");
    EXPECT_NE(seen.find("enrol"), std::string::npos) << "the watcher saw nothing";
    EXPECT_EQ(seen.find(password), std::string::npos);
}

// The process keeps no core file and drops what it cannot write: standard
// output and error that lead to a pipe whose reader has gone do not end it.
TEST_F(EndToEnd, CoreDumpsAreOffAndClosedStreamsDoNotStopTheRun) {
    sandbox().setPreferences("<key>showDebug</key><true/>");
    const auto result =
        sandbox().runScript(R"({ sleep 1; "$LOCKSTEPD" -s -u alice -p ")" + std::string(kPassword) +
                                R"("; echo $? > "$SANDBOX/status"; } 2>&1 | true)",
                            {{"FAKE_FDESETUP_PARENT", "1"}});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(readFile(sandbox().path() / "status"), "0\n");
    EXPECT_EQ(sandbox().fdesetupInput(), request(kUser, kPassword));
    const std::string limits = sandbox().fdesetupRecord("parent-limits").value_or("");
    EXPECT_TRUE(std::regex_search(limits, std::regex(R"(Max core file size +0 +0 )"))) << limits;
}

}  // namespace
}  // namespace lockstep::testing
