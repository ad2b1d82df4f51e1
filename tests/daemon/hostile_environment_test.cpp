// What the daemon meets on a machine it cannot trust: a log folder prepared
// by another user, and restart tools that misbehave or that someone other
// than root could have changed.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <tuple>

#include "fault_fixtures.h"
#include "platform/scoped_fd.h"

namespace lockstep::testing {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kOtherUser = 65534;

void chownTo(const fs::path& path) {
    ASSERT_EQ(::lchown(path.c_str(), kOtherUser, kOtherUser), 0) << path;
}

// What another user prepared at /tmp/lockstep (`folder`) and its generic.log
// (`log`); `target` is a file and `outside` an empty folder elsewhere, both
// that user's.
struct PlantedCase {
    const char* name;
    void (*plant)(const fs::path& folder, const fs::path& log, const fs::path& target,
                  const fs::path& outside);
    const char* preferences = "";  // extra preference keys
};

class HostileLogFolder : public SandboxTest, public ::testing::WithParamInterface<PlantedCase> {};

// Nothing is written through or into what was planted, and the run's lines
// go to a fresh /tmp/tessel-XXXXXX folder (or, for a log file name that is no
// plain name, to the default file).
TEST_P(HostileLogFolder, NothingIsWrittenThroughItAndNoLineIsLost) {
    const fs::path folder = sandbox().logFolder(), log = folder / "generic.log";
    const fs::path target = sandbox().path() / "outside/precious";
    const fs::path outside = sandbox().path() / "outside/folder";
    writeFile(target, "precious\n", fs::perms(0644));
    fs::create_directories(outside);
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms(0770));
    GetParam().plant(folder, log, target, outside);
    chownTo(target);
    chownTo(outside);
    const auto state = [&log] {
        const auto kind = fs::symlink_status(log).type();
        return std::tuple(kind, kind == fs::file_type::symlink ? fs::read_symlink(log) : "",
                          kind == fs::file_type::regular ? readFile(log) : "",
                          kind == fs::file_type::directory && fs::is_empty(log));
    };
    const auto before = state();
    // A reader holding a FIFO open lets an open for writing succeed at once.
    const ScopedFD reader(std::get<0>(before) == fs::file_type::fifo
                              ? ::open(log.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)
                              : -1);

    sandbox().setPreferences(std::string("<key>showDebug</key><true/>") + GetParam().preferences);
    const auto result = enrol(kUser, kPassword);
    EXPECT_EQ(std::tuple(result.exitCode, result.out), std::tuple(0, kEnrolled));
    const bool toDefaultFile = *GetParam().preferences != '\0';
    EXPECT_TRUE(toDefaultFile || state() == before);
    EXPECT_EQ(readFile(target), "precious\n");
    EXPECT_EQ(fs::status(target).permissions(), fs::perms(0644));
    EXPECT_TRUE(fs::is_empty(outside));
    char byte = 0;
    EXPECT_TRUE(!reader || ::read(reader.get(), &byte, 1) <= 0) << "a byte came through the FIFO";
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
    EXPECT_NE(readFile(written).find("run() Successfully authenticated"), std::string::npos);
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
                        chownTo(folder);
                    }},
        PlantedCase{"FolderOfAnotherUser",
                    [](auto& folder, auto&, auto&, auto&) { chownTo(folder); }},
        PlantedCase{
            "FolderWritableByAll",
            [](auto& folder, auto&, auto&, auto&) { fs::permissions(folder, fs::perms(01777)); }},
        PlantedCase{"LinkInAFolderOfAnotherUser",
                    [](auto& folder, auto& log, auto& target, auto&) {
                        fs::permissions(folder, fs::perms(0777));
                        chownTo(folder);
                        fs::create_symlink(target, log);
                        chownTo(log);
                    }},
        PlantedCase{"FileOfAnotherUser",
                    [](auto&, auto& log, auto&, auto&) {
                        writeFile(log, "forged\n", fs::perms(0666));
                        chownTo(log);
                    }},
        PlantedCase{"HardLinkedFile", [](auto&, auto& log, auto& target,
                                         auto&) { fs::create_hard_link(target, log); }},
        PlantedCase{"FifoWithAReader", [](auto&, auto& log, auto&,
                                          auto&) { ASSERT_EQ(::mkfifo(log.c_str(), 0666), 0); }},
        // A log file name with a folder in it is no log file name.
        PlantedCase{"AbsoluteLogFileName", [](auto&, auto&, auto&, auto&) {},
                    "<key>LogFileName</key><string>/var/lib/abs.log</string>"}),
    [](const auto& param) { return std::string(param.param.name); });

struct ToolCase {
    const char* name;
    std::map<std::string, std::string> steering;
    void (*spoil)(const fs::path& tool);  // seen from outside the namespace
    bool armed;
    const char* logged;  // a line the daemon logs about the tool
};

class MisbehavingTool : public SandboxTest, public ::testing::WithParamInterface<ToolCase> {};

// The daemon survives the tool, logs what came of it and prints the result.
// The request is made many times what a pipe holds by a long account name.
TEST_P(MisbehavingTool, TheDaemonSurvivesAndReports) {
    const std::string user(20000, '&');
    addUser(user, kPassword, 502);
    sandbox().setPreferences("<key>showDebug</key><true/>");
    if (GetParam().spoil != nullptr) {
        GetParam().spoil(sandbox().fdesetupFile());
    }
    const auto result = enrol(user, kPassword, GetParam().steering);
    const std::string outcome = GetParam().armed ? kArmed : kNotArmed;
    EXPECT_EQ(std::tuple(result.exitCode, result.out),
              std::tuple(0, user + " ********\n" + outcome));
    EXPECT_NE(result.err.find(GetParam().logged), std::string::npos) << result.err.substr(0, 4096);
    EXPECT_NE(readFile(sandbox().logFolder() / "generic.log").find("run() " + outcome),
              std::string::npos);
    EXPECT_EQ(sandbox().fdesetupInput().has_value(), GetParam().spoil == nullptr);
    // Nothing the tool left behind outlives the run.
    if (const std::string grandchild = sandbox().fdesetupRecord("grandchild").value_or("");
        !grandchild.empty()) {
        EXPECT_TRUE(processHasEnded(std::stoi(grandchild))) << "grandchild " << grandchild;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Tools, MisbehavingTool,
    ::testing::Values(
        // Only the first 64 KiB are kept; the rest is read and counted.
        ToolCase{"FloodsItsOutput",
                 {{"FAKE_FDESETUP_FLOOD", "8388608"}},
                 nullptr,
                 true,
                 "Dropped 8323072 bytes of output of /usr/bin/fdesetup beyond the first 65536"},
        ToolCase{"LeavesAGrandchildOnItsOutput",
                 {{"FAKE_FDESETUP_OUTPUT", "1:armed"}, {"FAKE_FDESETUP_LINGER", "600"}},
                 nullptr,
                 true,
                 "The output of /usr/bin/fdesetup was still held open 2 seconds after it exited"},
        ToolCase{"ExitsWithoutReading",
                 {{"FAKE_FDESETUP_READ", "0"}, {"FAKE_FDESETUP_END", "s9"}},
                 nullptr,
                 false,
                 "filevaultAuth(username:password:) No output"},
        ToolCase{"WritableByAnybody",
                 {},
                 [](const fs::path& tool) { fs::permissions(tool, fs::perms(0777)); },
                 false,
                 "Refusing to run /usr/bin/fdesetup: it is writable by group or others (mode "
                 "0777)"},
        ToolCase{"InAFolderAnybodyMayWrite",
                 {},
                 [](const fs::path& tool) { fs::permissions(tool.parent_path(), fs::perms(0777)); },
                 false,
                 "Refusing to run /usr/bin/fdesetup: folder /usr/bin is writable"}),
    [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace lockstep::testing
