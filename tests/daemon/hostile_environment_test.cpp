// What the daemon meets on a machine it cannot trust: a log folder prepared
// by another user, restart tools that misbehave, and places where the
// password must never show.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "fault_fixtures.h"
#include "platform/scoped_fd.h"
#include "support/temp_dir.h"

namespace lockstep::testing {
namespace {

namespace fs = std::filesystem;

// What another user prepared at /tmp/lockstep before the run. `folder` and
// `log` are the real paths of /tmp/lockstep and its generic.log, `target` a
// file and `outside` an empty folder elsewhere, all owned by that user.
struct PlantedCase {
    const char* name;
    void (*plant)(const fs::path& folder, const fs::path& log, const fs::path& target,
                  const fs::path& outside);
    // Extra preference keys.
    const char* preferences = "";
};

constexpr uid_t kOtherUser = 65534;

void chownTo(const fs::path& path, uid_t user) {
    ASSERT_EQ(::lchown(path.c_str(), user, user), 0) << path;
}

class HostileLogFolder : public SandboxTest, public ::testing::WithParamInterface<PlantedCase> {};

// Nothing is written through or into what was planted, the run completes, and
// its lines are not lost: they go to a fresh /tmp/tessel-XXXXXX folder (or,
// for a log file name that is no plain name, to the default file).
TEST_P(HostileLogFolder, NothingIsWrittenThroughItAndNoLineIsLost) {
    const fs::path folder = sandbox().logFolder();
    const fs::path log = folder / "generic.log";
    const fs::path target = sandbox().path() / "outside" / "precious";
    const fs::path outside = sandbox().path() / "outside" / "folder";
    writeFile(target, "precious\n", fs::perms(0644));
    fs::create_directories(outside);
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms(0770));
    GetParam().plant(folder, log, target, outside);
    for (const fs::path& path : {target, outside}) {
        chownTo(path, kOtherUser);
    }
    // What stands at the log path: its kind, link target, contents or entries.
    const auto state = [&log] {
        const auto kind = fs::symlink_status(log).type();
        return std::tuple(kind, kind == fs::file_type::symlink ? fs::read_symlink(log) : "",
                          kind == fs::file_type::regular ? readFile(log) : "",
                          kind == fs::file_type::directory && fs::is_empty(log));
    };
    const auto before = state();
    const auto kind = std::get<0>(before);
    // A reader holding a FIFO open lets an open for writing succeed at once:
    // only the daemon's own checks keep bytes out of it.
    const ScopedFD reader(
        kind == fs::file_type::fifo ? ::open(log.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1);

    sandbox().setPreferences(std::string("<key>showDebug</key><true/>") + GetParam().preferences);
    const auto result = enrol(kUser, kPassword);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, kEnrolled);
    EXPECT_NE(result.err.find("setting new password success"), std::string::npos);

    const bool toDefaultFile = !std::string_view(GetParam().preferences).empty();
    if (!toDefaultFile) {
        EXPECT_TRUE(state() == before);
    }
    EXPECT_EQ(readFile(target), "precious\n");
    EXPECT_EQ(fs::status(target).permissions(), fs::perms(0644));
    EXPECT_TRUE(fs::is_empty(outside));
    if (reader) {
        char byte = 0;
        EXPECT_LE(::read(reader.get(), &byte, 1), 0) << "a byte came through the FIFO";
    }
    EXPECT_FALSE(fs::exists(sandbox().path() / "var-lib/abs.log"));

    // Where the run's lines went: one fresh folder, made by and for root.
    std::vector<fs::path> fresh;
    for (const auto& entry : fs::directory_iterator(sandbox().path() / "tmp")) {
        if (entry.path().filename().string().starts_with("tessel-")) {
            fresh.push_back(entry.path());
        }
    }
    ASSERT_EQ(fresh.size(), toDefaultFile ? 0U : 1U);
    const fs::path written = toDefaultFile ? log : fresh[0] / "generic.log";
    EXPECT_NE(readFile(written).find("run() " + kArmed.substr(0, kArmed.size() - 1)),
              std::string::npos)
        << written;
    struct stat info {};
    ASSERT_EQ(::lstat(written.parent_path().c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 0U);
    EXPECT_EQ(info.st_mode & 0777U, toDefaultFile ? 0770U : 0700U);
}

INSTANTIATE_TEST_SUITE_P(
    Planted, HostileLogFolder,
    ::testing::Values(
        PlantedCase{"FolderIsALink",
                    [](auto& folder, auto&, auto&, auto& outside) {
                        fs::remove(folder);
                        fs::create_symlink(outside, folder);
                        chownTo(folder, kOtherUser);
                    }},
        PlantedCase{"FolderOfAnotherUser",
                    [](auto& folder, auto&, auto&, auto&) { chownTo(folder, kOtherUser); }},
        PlantedCase{
            "FolderWritableByAll",
            [](auto& folder, auto&, auto&, auto&) { fs::permissions(folder, fs::perms(01777)); }},
        PlantedCase{"LinkInAFolderOfAnotherUser",
                    [](auto& folder, auto& log, auto& target, auto&) {
                        fs::permissions(folder, fs::perms(0777));
                        chownTo(folder, kOtherUser);
                        fs::create_symlink(target, log);
                        chownTo(log, kOtherUser);
                    }},
        PlantedCase{"FileOfAnotherUser",
                    [](auto&, auto& log, auto&, auto&) {
                        writeFile(log, "2026-01-01T00:00:00Z lockstepd(1): forged\n",
                                  fs::perms(0666));
                        chownTo(log, kOtherUser);
                    }},
        PlantedCase{"HardLinkedFile", [](auto&, auto& log, auto& target,
                                         auto&) { fs::create_hard_link(target, log); }},
        PlantedCase{"SymbolicLink",
                    [](auto&, auto& log, auto& target, auto&) { fs::create_symlink(target, log); }},
        PlantedCase{"FifoWithAReader", [](auto&, auto& log, auto&,
                                          auto&) { ASSERT_EQ(::mkfifo(log.c_str(), 0666), 0); }},
        PlantedCase{"FolderAtTheFilePath",
                    [](auto&, auto& log, auto&, auto&) { fs::create_directory(log); }},
        // A log file name with a folder in it is no log file name.
        PlantedCase{"AbsoluteLogFileName", [](auto&, auto&, auto&, auto&) {},
                    "<key>LogFileName</key><string>/var/lib/abs.log</string>"}),
    [](const auto& param) { return std::string(param.param.name); });

struct ToolCase {
    const char* name;
    std::map<std::string, std::string> steering;  // FAKE_FDESETUP_ variables
    bool armed;
    const char* logged;                // what the daemon logs of the tool's output
    const char* alsoLogged = nullptr;  // another line it logs about the tool
};

class MisbehavingTool : public SandboxTest, public ::testing::WithParamInterface<ToolCase> {};

// The daemon survives the tool, logs what came of it and prints the result;
// the request is made large (escaped, it is many times what a pipe holds) by
// a long account name.
TEST_P(MisbehavingTool, TheDaemonSurvivesAndReports) {
    const std::string user(20000, '&');
    addUser(user, kPassword, 502);
    sandbox().setPreferences("<key>showDebug</key><true/>");
    std::map<std::string, std::string> steering;
    for (const auto& [name, value] : GetParam().steering) {
        steering["FAKE_FDESETUP_" + name] = value;
    }
    const auto result = enrol(user, kPassword, steering);
    const std::string outcome = GetParam().armed ? kArmed : kNotArmed;
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, user + " ********\n" + outcome);
    EXPECT_NE(
        result.err.find(std::string("filevaultAuth(username:password:) ") + GetParam().logged),
        std::string::npos);
    EXPECT_NE(readFile(sandbox().logFolder() / "generic.log").find("run() " + outcome),
              std::string::npos);
    if (GetParam().alsoLogged != nullptr) {
        EXPECT_NE(result.err.find(std::string("filevaultAuth(username:password:) ") +
                                  GetParam().alsoLogged),
                  std::string::npos)
            << result.err.substr(0, 4096);
    }
    // Nothing the tool left behind outlives the run.
    if (const std::string grandchild = readFile(sandbox().path() / "fdesetup-record.grandchild");
        !grandchild.empty()) {
        EXPECT_TRUE(processHasEnded(std::stoi(grandchild))) << "grandchild " << grandchild;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Tools, MisbehavingTool,
    ::testing::Values(
        ToolCase{"ExitsWithoutReading",
                 {{"READ", "0"}, {"OUTPUT", "2:no request read"}, {"END", "1"}},
                 false,
                 "no request read"},
        // Success is what the tool's exit status says, read or not.
        ToolCase{"ExitsWithoutReadingYetReportsSuccess", {{"READ", "0"}}, true, "No output"},
        // Only the first 64 KiB are kept; the rest is read and counted.
        ToolCase{"FloodsItsOutput",
                 {{"FLOOD", "8388608"}},
                 true,
                 "xxxxxxxx",
                 "Dropped 8323072 bytes of output of /usr/bin/fdesetup beyond the first 65536"},
        // The tool is done; what it left holding its output is not waited for.
        ToolCase{"LeavesAGrandchildOnItsOutput",
                 {{"OUTPUT", "1:armed"}, {"LINGER", "600"}},
                 true,
                 "armed",
                 "The output of /usr/bin/fdesetup was still held open 2 seconds after it exited; "
                 "its process group was killed"},
        ToolCase{"FloodsAndIsKilled", {{"FLOOD", "8388608"}, {"END", "s15"}}, false, "xxxxxxxx"},
        ToolCase{"KilledBySignal", {{"END", "s9"}}, false, "No output"}),
    [](const auto& param) { return std::string(param.param.name); });

struct UnsafeToolCase {
    const char* name;
    // Spoils the stand-in tool, seen from outside the namespace.
    void (*spoil)(const fs::path& tool);
    const char* reason;
};

class UnsafeTool : public SandboxTest, public ::testing::WithParamInterface<UnsafeToolCase> {};

// A restart tool that someone other than root could have changed never
// receives the password: it is not started, the refusal is logged with its
// reason, and the run reports the failure.
TEST_P(UnsafeTool, IsNotStarted) {
    GetParam().spoil(sandbox().fdesetupFile());
    const auto result = enrol(kUser, kPassword);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, kEnrolling + kNotArmed);
    EXPECT_NE(
        result.err.find(std::string("Refusing to run /usr/bin/fdesetup: ") + GetParam().reason),
        std::string::npos)
        << result.err;
    EXPECT_FALSE(sandbox().fdesetupInput()) << "the tool was started";
}

INSTANTIATE_TEST_SUITE_P(
    Tools, UnsafeTool,
    ::testing::Values(
        UnsafeToolCase{"WritableByAnybody",
                       [](const fs::path& tool) { fs::permissions(tool, fs::perms(0777)); },
                       "it is writable by group or others (mode 0777)"},
        UnsafeToolCase{"WritableByItsGroup",
                       [](const fs::path& tool) { fs::permissions(tool, fs::perms(0775)); },
                       "it is writable by group or others (mode 0775)"},
        UnsafeToolCase{"OwnedByAnotherUser",
                       [](const fs::path& tool) { ASSERT_EQ(::chown(tool.c_str(), 92, 92), 0); },
                       "it is owned by uid 92, not root"},
        UnsafeToolCase{"ALinkToAGoodTool",
                       [](const fs::path& tool) {
                           fs::rename(tool, tool.string() + ".real");
                           fs::create_symlink("fdesetup.real", tool);
                       },
                       "it is a symbolic link"},
        UnsafeToolCase{"AFolder",
                       [](const fs::path& tool) {
                           fs::remove(tool);
                           fs::create_directory(tool);
                       },
                       "it is not a regular file"},
        UnsafeToolCase{
            "InAFolderAnybodyMayWrite",
            [](const fs::path& tool) { fs::permissions(tool.parent_path(), fs::perms(0777)); },
            "folder /usr/bin is writable by group or others (mode 0777)"}),
    [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace lockstep::testing
