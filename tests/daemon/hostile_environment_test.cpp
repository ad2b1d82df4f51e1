// What the daemon meets on a machine it cannot trust: a log folder prepared
// by another user, restart tools that misbehave, and places where the
// password must never show.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "fault_fixtures.h"
#include "platform/scoped_fd.h"
#include "support/directory_fixture.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace lockstep::testing {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kOtherUser = 65534;

struct HostileLog {
    const char* name;
    // A reader holds a FIFO open, so that opening it for writing would
    // succeed at once: only the daemon's own checks keep bytes out of it.
    bool heldOpen;
    // Puts something at `log` (the daemon's log file), with `target` outside.
    std::function<void(const fs::path& log, const fs::path& target)> plant;
};

void PrintTo(const HostileLog& c, std::ostream* out) {
    *out << c.name;
}

class HostileLogFolder : public SandboxTest, public ::testing::WithParamInterface<HostileLog> {};

// /tmp/lockstep made beforehand by another user, holding something named
// like the log file: nothing is written through it, and the run completes.
TEST_P(HostileLogFolder, NothingIsWrittenThroughIt) {
    const fs::path folder = sandbox().logFolder();
    const fs::path log = folder / "generic.log";
    const fs::path target = sandbox().path() / "outside" / "precious";
    writeFile(target, "precious\n", fs::perms(0644));
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms(0777));
    ASSERT_EQ(::chown(folder.c_str(), kOtherUser, kOtherUser), 0);
    GetParam().plant(log, target);
    ASSERT_EQ(::lchown(log.c_str(), kOtherUser, kOtherUser), 0);
    const auto kind = fs::symlink_status(log).type();
    const fs::path linked = kind == fs::file_type::symlink ? fs::read_symlink(log) : fs::path();
    const ScopedFD reader(
        GetParam().heldOpen ? ::open(log.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1);

    sandbox().setPreferences("<key>showDebug</key><true/>");
    const auto result = enrol(kUser, kPassword);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, kEnrolled);
    EXPECT_NE(result.err.find("setting new password success"), std::string::npos);

    EXPECT_EQ(fs::symlink_status(log).type(), kind);
    EXPECT_EQ(readFile(target), "precious\n");
    EXPECT_EQ(fs::status(target).permissions(), fs::perms(0644));
    if (reader) {
        char byte = 0;
        EXPECT_LE(::read(reader.get(), &byte, 1), 0) << "a byte came through the FIFO";
    }
    if (kind == fs::file_type::directory) {
        EXPECT_TRUE(fs::is_empty(log));
    }
    if (kind == fs::file_type::symlink) {
        EXPECT_EQ(fs::read_symlink(log), linked);
        EXPECT_FALSE(fs::exists(target.string() + ".new"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Planted, HostileLogFolder,
    ::testing::Values(HostileLog{"SymbolicLink", false,
                                 [](const fs::path& log, const fs::path& target) {
                                     fs::create_symlink(target, log);
                                 }},
                      HostileLog{"DanglingSymbolicLink", false,
                                 [](const fs::path& log, const fs::path& target) {
                                     fs::create_symlink(target.string() + ".new", log);
                                 }},
                      HostileLog{"HardLink", false,
                                 [](const fs::path& log, const fs::path& target) {
                                     fs::create_hard_link(target, log);
                                 }},
                      HostileLog{"FIFO", true,
                                 [](const fs::path& log, const fs::path&) {
                                     ASSERT_EQ(::mkfifo(log.c_str(), 0666), 0);
                                 }},
                      HostileLog{"FIFOWithoutReader", false,
                                 [](const fs::path& log, const fs::path&) {
                                     ASSERT_EQ(::mkfifo(log.c_str(), 0666), 0);
                                 }},
                      HostileLog{
                          "Folder", false,
                          [](const fs::path& log, const fs::path&) { fs::create_directory(log); }}),
    [](const auto& param) { return std::string(param.param.name); });

struct ToolCase {
    const char* name;
    std::map<std::string, std::string> steering;
    bool armed;
    const char* logged;  // what the daemon logs of the tool's output
};

void PrintTo(const ToolCase& c, std::ostream* out) {
    *out << c.name;
}

class MisbehavingTool : public SandboxTest, public ::testing::WithParamInterface<ToolCase> {};

// The daemon survives the tool, logs what came of it and prints the result;
// the request is made large (escaped, it is many times what a pipe holds) by
// a long account name.
TEST_P(MisbehavingTool, TheDaemonSurvivesAndReports) {
    const std::string user(20000, '&');
    sandbox().accounts().addUser(user, kPassword, 502);
    sandbox().accounts().write();
    sandbox().setPreferences("<key>showDebug</key><true/>");
    const auto result = enrol(user, kPassword, GetParam().steering);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, user + " ********\n" + (GetParam().armed ? kArmed : kNotArmed));
    EXPECT_NE(
        result.err.find(std::string("filevaultAuth(username:password:) ") + GetParam().logged),
        std::string::npos);
    const std::string outcome = GetParam().armed ? kArmed : kNotArmed;
    EXPECT_NE(readFile(sandbox().logFolder() / "generic.log").find("run() " + outcome),
              std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Tools, MisbehavingTool,
    ::testing::Values(
        ToolCase{"ExitsWithoutReading",
                 {{"FAKE_FDESETUP_READ", "0"},
                  {"FAKE_FDESETUP_OUTPUT", "2:no request read"},
                  {"FAKE_FDESETUP_END", "1"}},
                 false,
                 "no request read"},
        // Success is what the tool's exit status says, read or not.
        ToolCase{"ExitsWithoutReadingYetReportsSuccess",
                 {{"FAKE_FDESETUP_READ", "0"}},
                 true,
                 "No output"},
        ToolCase{"FloodsItsOutput", {{"FAKE_FDESETUP_FLOOD", "8388608"}}, true, "xxxxxxxx"},
        ToolCase{"FloodsAndIsKilled",
                 {{"FAKE_FDESETUP_FLOOD", "8388608"}, {"FAKE_FDESETUP_END", "s15"}},
                 false,
                 "xxxxxxxx"},
        ToolCase{"KilledBySignal", {{"FAKE_FDESETUP_END", "s9"}}, false, "No output"}),
    [](const auto& param) { return std::string(param.param.name); });

constexpr char kSecret[] = "S3cret-8f2e horse";

// After an enrolment and a plain run, the password in clear is nowhere but
// in the request on the tool's standard input.
TEST_F(SandboxTest, ThePasswordShowsOnlyInTheRequest) {
    sandbox().accounts().addUser("bob", kSecret, 502);
    sandbox().accounts().write();
    sandbox().setPreferences("<key>showDebug</key><true/>");
    const auto enrolled = enrol("bob", kSecret);
    ASSERT_EQ(enrolled.out, "bob ********\n" + kArmed);
    const auto plain = sandbox().run({});
    ASSERT_EQ(plain.out, kArmed);
    ASSERT_NE(sandbox().fdesetupInput().value_or("").find(kSecret), std::string::npos);

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
        std::string joined;
        for (const std::string& item : *list) {
            joined += item + "\n";
        }
        places.emplace_back(what, joined);
    }
    EXPECT_NE(places[1].second.find("setting new password success"), std::string::npos);
    for (const auto& [what, text] : places) {
        EXPECT_EQ(text.find(kSecret), std::string::npos) << what;
    }
}

// The system log, in process: the same run flow with a recording system log.
TEST(Secrets, ThePasswordNeverReachesTheSystemLog) {
    TempDir dir;
    TestDirectory accounts(dir / "machine");
    accounts.addUser(kUser, kSecret, 501);
    TestMachine machine(accounts.root(), dir / "keychains");
    LogCapture capture;
    ASSERT_EQ(machine.run({.setUser = true, .user = kUser, .password = kSecret}), kEnrolled);
    ASSERT_EQ(machine.run({}), kArmed);
    ASSERT_TRUE(capture.systemContains("setting new password success"));
    for (const auto& entry : capture.systemEntries()) {
        EXPECT_EQ(entry.message.find(kSecret), std::string::npos) << entry.message;
    }
    EXPECT_FALSE(capture.contains(kSecret));
    EXPECT_EQ(capture.standardError().find(kSecret), std::string::npos);
    EXPECT_EQ(capture.logFileContents().find(kSecret), std::string::npos);
}

}  // namespace
}  // namespace lockstep::testing
