// Runs the real lockstepd binary in a sandboxed mount namespace: its own
// account files, System keychain folder, log folder and stand-in restart tool.

#include <gtest/gtest.h>
#include <unistd.h>

#include <numeric>
#include <regex>
#include <string>
#include <vector>

#include "daemon/run_record.h"
#include "fault_fixtures.h"
#include "support/temp_dir.h"

namespace lockstep::testing {
namespace {

namespace fs = std::filesystem;
using EndToEnd = SandboxTest;

std::string request(std::string_view user, std::string_view password) {
    return std::string(" <plist>\n   <dict>\n         <key>Username</key>\n         <string>") +
           std::string(user) + "</string>\n         <key>Password</key>\n         <string>" +
           std::string(password) + "</string>\n   </dict>\n</plist>\n";
}

TEST_F(EndToEnd, EnrolmentStoresTheCredentialAndArmsTheRestart) {
    const auto result = enrol(kUser, kPassword);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, kEnrolled);
    const auto items = stored();
    ASSERT_EQ(items.size(), 1U);
    EXPECT_EQ(items[0].account, kUser);
    EXPECT_EQ(items[0].password, kPassword);
    EXPECT_EQ(sandbox().fdesetupArguments(),
              (std::vector<std::string>{"authrestart", "-delayminutes", "-1", "-inputplist"}));
    EXPECT_EQ(sandbox().fdesetupInput(), request(kUser, kPassword));

    // The run's record beside the keychain, as lockstepctl status reads it
    // through the real programs; the tool refusing the next request makes
    // the last arming a failure with the tool's own line.
    const fs::path record = sandbox().systemKeychain().parent_path() / "last-run";
    std::string why;
    const auto run = readRunRecord(record, &why);
    ASSERT_TRUE(run) << why;
    EXPECT_TRUE(run->enrolment && run->armed);
    EXPECT_EQ(run->keychain->path, "/var/lib/lockstep/System.keychain");
    const auto status = sandbox().runScript(
        "\"$LOCKSTEPD\" >/dev/null 2>&1; \"$LOCKSTEPCTL\" status || echo \"exit $?\"",
        {{"FAKE_FDESETUP_END", "2"}, {"FAKE_FDESETUP_OUTPUT", "2:request refused"}});
    EXPECT_NE(status.out.find("\nstatus:       last arming failed: /usr/bin/fdesetup exited with "
                              "status 2 after "),
              std::string::npos)
        << status.out << status.err;
    EXPECT_NE(status.out.find(" ms: \"request refused\"\nexit 7\n"), std::string::npos);
}

TEST_F(EndToEnd, RefusedEnrolmentsPrintTheirLineAndStoreNothing) {
    addUser("locked", "pw", 502, AccountState::locked);
    addUser("gone", "pw", 503, AccountState::disabled);
    for (const auto& [user, password, line] : {std::tuple{"alice", "wrong", "incorrect password"},
                                               std::tuple{"nobody", "pw", "account Does Not Exist"},
                                               std::tuple{"locked", "pw", "account locked"},
                                               std::tuple{"gone", "pw", "account locked"}}) {
        const auto result = enrol(user, password);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.out, std::string(user) + " ********\n" + line + "\n");
        EXPECT_TRUE(stored().empty()) << user;
        EXPECT_FALSE(sandbox().fdesetupInput()) << user;
    }
}

TEST_F(EndToEnd, PlainRunArmsTheRestartWithTheStoredCredential) {
    const auto empty = sandbox().run({});
    EXPECT_EQ(empty.exitCode, 0);
    EXPECT_EQ(empty.out, "");
    EXPECT_FALSE(sandbox().fdesetupInput());

    ASSERT_EQ(enrol(kUser, kPassword).exitCode, 0);
    fs::remove(sandbox().path() / "fdesetup-record.stdin");
    const auto plain = sandbox().run({});
    EXPECT_EQ(plain.exitCode, 0);
    EXPECT_EQ(plain.out, kArmed);
    EXPECT_EQ(sandbox().fdesetupInput(), request(kUser, kPassword));

    // Debug lines are echoed to standard error only with showDebug.
    sandbox().setPreferences("<key>showDebug</key><true/>");
    sandbox().removeFdesetup();
    const auto missing = sandbox().run({});
    EXPECT_EQ(missing.exitCode, 0);
    EXPECT_EQ(missing.out, kNotArmed);
    EXPECT_NE(missing.err.find("Failed to run command: "), std::string::npos);
}

// Markup in a password reaches the tool escaped; a password beginning with
// "-" is taken when joined with "=". Items of other accounts stay.
TEST_F(EndToEnd, UnusualPasswordsAreStoredAndEscapedForTheTool) {
    addUser("dave", "a<b&c>d\"'", 505);
    addUser("carol", "-starts-with-dash", 504);
    EXPECT_EQ(enrol("dave", "a<b&c>d\"'").out, "dave ********\n" + kArmed);
    EXPECT_EQ(armed(), (std::pair<std::string, std::string>("dave", "a<b&c>d\"'")))
        << sandbox().fdesetupInput().value_or("");

    EXPECT_EQ(sandbox().run({"-s", "-u", "carol", "-p", "-starts-with-dash"}).exitCode, 64);
    const auto dashed = sandbox().run({"-s", "-u", "carol", "--password=-starts-with-dash"});
    EXPECT_EQ(dashed.out, "carol ********\n" + kArmed);
    const auto items = stored();
    ASSERT_EQ(items.size(), 2U);
    EXPECT_EQ(items[0].password, "a<b&c>d\"'");
    EXPECT_EQ(items[1].account, "carol");
    EXPECT_EQ(items[1].password, "-starts-with-dash");
}

// With showDebug the log file holds every line; the password in clear is
// nowhere but in the request on the tool's standard input.
TEST_F(EndToEnd, LogFileHoldsTimestampedLinesAndNeverThePassword) {
    sandbox().setPreferences("<key>showDebug</key><string>YES</string>");
    const auto enrolled = enrol(kUser, kPassword);
    ASSERT_EQ(enrolled.out, kEnrolled);
    const auto plain = sandbox().run({});
    ASSERT_EQ(plain.out, kArmed);
    ASSERT_NE(sandbox().fdesetupInput().value_or("").find(kPassword), std::string::npos);
    EXPECT_NE(enrolled.err.find("setting new password success"), std::string::npos);
    const auto logFile = sandbox().logFolder() / "generic.log";
    const std::string log = readFile(logFile);
    const std::regex line(
        R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d([+-]\d\d:\d\d|Z) lockstepd\(\d+\):       )"
        R"(password_daemon\.cpp:\d+ run\(\) Successfully authenticated with FileVault)");
    EXPECT_TRUE(std::regex_search(log, line)) << log;
    EXPECT_NE(log.find("setting new password success"), std::string::npos);
    EXPECT_EQ(fs::status(sandbox().logFolder()).permissions(), fs::perms(0770));

    std::vector<std::pair<std::string, std::string>> places = {
        {"standard output", enrolled.out + plain.out},
        {"standard error", enrolled.err + plain.err},
        {"keychain", readFile(sandbox().systemKeychain())},
        {"journal", readFile(sandbox().systemKeychain().string() + "-journal")},
    };
    for (const auto& entry : fs::directory_iterator(sandbox().logFolder())) {
        places.emplace_back(entry.path().string(), readFile(entry.path()));
    }
    for (const auto& [what, list] :
         {std::pair{"tool arguments", sandbox().fdesetupArguments()},
          std::pair{"tool environment", sandbox().fdesetupEnvironment()}}) {
        ASSERT_TRUE(list) << what;
        places.emplace_back(what, std::accumulate(list->begin(), list->end(), std::string("\n")));
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

TEST_F(EndToEnd, UsageErrorsExit64HelpAndIncompleteEnrolmentsExit0) {
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"-p", "-x"}, {"--bogus"}, {"alice"}, {"--user"}}) {
        const auto result = sandbox().run(arguments);
        EXPECT_EQ(result.exitCode, 64);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err.rfind("Error: ", 0), 0U) << result.err;
        EXPECT_NE(result.err.find("\nUsage: lockstepd [--set-user] [--user <user>] "
                                  "[--password <password>]"),
                  std::string::npos);
    }
    // Whatever the form of a rejected password, it shows nowhere, and it was
    // never checked or stored.
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"-s", "-u", kUser, "-p" + std::string(kPassword)},
          {"-s", "-u", kUser, "--pasword", kPassword},
          {"-s", "-u", kUser, "-p", std::string(kPassword) + "\x01"},
          {"-s", "-u", kUser, "--password=\xff" + std::string(kPassword)},
          {"--", "-h"}}) {
        const auto result = sandbox().run(arguments);
        EXPECT_EQ(result.exitCode, 64) << result.err;
        EXPECT_EQ(result.err.find(kPassword), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "");
    }
    const auto help = sandbox().run({"-s", "-u", kUser, "-p", kPassword, "-h"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("user password to put into keychain"), std::string::npos);
    // An incomplete enrolment takes the plain path.
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--set-user", "--user", kUser},
          {"--user", kUser, "--password", kPassword},
          {"--set-user", "--password", kPassword}}) {
        const auto result = sandbox().run(arguments);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.out, "");
    }
    EXPECT_TRUE(stored().empty());
}

// lockstepctl enrol through the real programs: the password, read from
// standard input, shows in no process's command line while the run goes on.
TEST_F(EndToEnd, EnrolFromStandardInputKeepsThePasswordOutOfEveryCommandLine) {
    // A password of this test alone: other tests running at the same time
    // put theirs on command lines on purpose.
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
    EXPECT_EQ(armed(), (std::pair<std::string, std::string>(kUser, password)));
    const std::string seen = readFile(sandbox().path() / "cmdlines");
    EXPECT_NE(seen.find("enrol"), std::string::npos) << "the watcher saw nothing";
    EXPECT_EQ(seen.find(password), std::string::npos);
}

// The process keeps no core file and drops what it cannot write: standard
// output and standard error that lead to a pipe whose reader has gone do not
// end the run.
TEST_F(EndToEnd, CoreDumpsAreOffAndClosedStreamsDoNotStopTheRun) {
    sandbox().setPreferences("<key>showDebug</key><true/>");
    const auto result =
        sandbox().runScript(R"({ sleep 1; "$LOCKSTEPD" -s -u alice -p ")" + std::string(kPassword) +
                                R"("; echo $? > "$SANDBOX/status"; } 2>&1 | true)",
                            {{"FAKE_FDESETUP_PARENT", "1"}});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(readFile(sandbox().path() / "status"), "0\n");
    EXPECT_EQ(armed(), (std::pair<std::string, std::string>(kUser, kPassword)));
    const std::string limits = readFile(sandbox().path() / "fdesetup-record.parent-limits");
    EXPECT_TRUE(std::regex_search(limits, std::regex(R"(Max core file size +0 +0 )"))) << limits;
}

}  // namespace
}  // namespace lockstep::testing
