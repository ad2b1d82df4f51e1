// What the daemon meets on a machine it cannot trust: a log folder prepared
// by another user, and restart tools that misbehave or that someone other
// than root could have changed.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <tuple>

#include "fault_fixtures.h"

namespace lockstep::testing {
namespace {

namespace fs = std::filesystem;
using HostileEnvironment = SandboxTest;

// Another user made /tmp/lockstep writable by all and put a link to a file
// of theirs at its generic.log: nothing is written through it, and the run's
// lines go to a fresh /tmp/tessel-XXXXXX folder, made by and for root.
TEST_F(HostileEnvironment, ALogFolderOfAnotherUserIsNotWrittenThrough) {
    const fs::path folder = sandbox().logFolder(), log = folder / "generic.log";
    const fs::path target = sandbox().path() / "outside/precious";
    writeFile(target, "precious\n", fs::perms(0644));
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms(0777));
    fs::create_symlink(target, log);
    for (const fs::path& path : {target, folder, log}) {
        ASSERT_EQ(::lchown(path.c_str(), 65534, 65534), 0) << path;
    }
    sandbox().setPreferences("<key>showDebug</key><true/>");
    const auto result = enrol(kUser, kPassword);
    EXPECT_EQ(std::tuple(result.exitCode, result.out), std::tuple(0, kEnrolled));
    EXPECT_EQ(fs::read_symlink(log), target);
    EXPECT_EQ(readFile(target), "precious\n");
    EXPECT_EQ(fs::status(target).permissions(), fs::perms(0644));

    std::vector<fs::path> fresh;
    for (const auto& entry : fs::directory_iterator(sandbox().path() / "tmp")) {
        if (entry.path().filename().string().starts_with("tessel-")) {
            fresh.push_back(entry.path());
        }
    }
    ASSERT_EQ(fresh.size(), 1U);
    EXPECT_NE(readFile(fresh[0] / "generic.log").find("run() Successfully authenticated"),
              std::string::npos);
    struct stat info {};
    ASSERT_EQ(::lstat(fresh[0].c_str(), &info), 0);
    EXPECT_EQ(std::pair(info.st_uid, info.st_mode & 0777U), std::pair(0U, 0700U));
}

// The daemon survives the tool, logs what came of it and prints the result.
// The request is made many times what a pipe holds by a long account name.
TEST_F(HostileEnvironment, TheDaemonSurvivesAMisbehavingOrUnsafeTool) {
    const std::string user(20000, '&');
    addUser(user, kPassword, 502);
    sandbox().setPreferences("<key>showDebug</key><true/>");
    const struct {
        const char* name;
        std::map<std::string, std::string> steering;
        fs::perms toolMode;
        bool armed;
        const char* logged;  // a line the daemon logs about the tool
    } cases[] = {
        // Only the first 64 KiB of output are kept; the rest is read and counted.
        {"floods its output",
         {{"FAKE_FDESETUP_FLOOD", "8388608"}},
         fs::perms(0755),
         true,
         "Dropped 8323072 bytes of output of /usr/bin/fdesetup beyond the first 65536"},
        // What the tool left holding its output is not waited for, and ends.
        {"leaves a grandchild",
         {{"FAKE_FDESETUP_OUTPUT", "1:armed"}, {"FAKE_FDESETUP_LINGER", "600"}},
         fs::perms(0755),
         true,
         "The output of /usr/bin/fdesetup was still held open 2 seconds after it exited"},
        // A tool that someone other than root could have changed is not started.
        {"writable by anybody",
         {},
         fs::perms(0777),
         false,
         "Refusing to run /usr/bin/fdesetup: it is writable by group or others (mode 0777)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(sandbox().path() / "fdesetup-record.stdin");
        fs::permissions(sandbox().fdesetupFile(), c.toolMode);
        const auto result = enrol(user, kPassword, c.steering);
        const std::string outcome = c.armed ? kArmed : kNotArmed;
        EXPECT_EQ(std::tuple(result.exitCode, result.out),
                  std::tuple(0, user + " ********\n" + outcome));
        EXPECT_NE(result.err.find(c.logged), std::string::npos) << result.err.substr(0, 4096);
        EXPECT_EQ(sandbox().fdesetupInput().has_value(), c.armed);
    }
    const auto grandchild = sandbox().fdesetupRecord("grandchild");
    ASSERT_TRUE(grandchild);
    EXPECT_TRUE(processHasEnded(std::stoi(*grandchild))) << "grandchild " << *grandchild;
}

}  // namespace
}  // namespace lockstep::testing
