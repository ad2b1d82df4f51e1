// lockstepctl check-config on preference files in a temporary folder.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "ctl/commands.h"
#include "platform/directory/local_directory.h"
#include "platform/keychain/sqlite_keychain.h"
#include "support/temp_dir.h"

namespace lockstep::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAreArray;

constexpr uid_t kStranger = 65534;

std::string plist(const std::string& dictionary) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n" +
           dictionary + "\n</dict>\n</plist>\n";
}

std::string key(const std::string& name, const std::string& value) {
    return "<key>" + name + "</key>" + value;
}

std::string text(const std::string& value) {
    return "<string>" + value + "</string>";
}

std::vector<std::string> lines(const std::string& output) {
    std::vector<std::string> result;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        result.push_back(line);
    }
    return result;
}

// A machine in a temporary folder with log folders of every kind: "logs"
// (good), "link" (a link to it), "file", "open" (writable by others), and
// the home folder "home" (of the checking user and of "carol") with a good
// "logs" in it.
class CheckConfigTest : public ::testing::Test {
  protected:
    CheckConfigTest() {
        fs::permissions(dir_.path(), fs::perms(0755));
        fs::create_directories(dir_ / "home/logs");
        fs::create_directory(dir_ / "logs");
        fs::create_directory_symlink("logs", dir_ / "link");
        writeFile(dir_ / "file", "");
        fs::create_directory(dir_ / "open");
        fs::permissions(dir_ / "open", fs::perms(0777));
    }

    [[nodiscard]] ctl::Services services(std::vector<fs::path> files) const {
        const fs::path home = dir_ / "home";
        return {
            .context = context_,
            .systemKeychainPath = dir_ / "System.keychain",
            .userKeychainPath = std::nullopt,
            .passwordInput = -1,
            .terminal = dir_ / "no-terminal",
            .restart = {},
            .preferences = {.files = std::move(files),
                            .userID = static_cast<std::uint32_t>(::geteuid()),
                            .homeFolderForUser = [home](std::uint32_t) { return home.string(); },
                            .homeFolderForUserName =
                                [home](const std::string& name) -> std::optional<std::string> {
                                if (name != "carol") {
                                    return std::nullopt;
                                }
                                return home.string();
                            }}};
    }

    TempDir dir_;
    SqliteKeychainService keychain_{{.systemKeychainPath = dir_ / "System.keychain",
                                     .userKeychainPath = dir_ / "login.keychain",
                                     .callingProgramPath = std::nullopt}};
    LocalDirectoryService directory_{dir_.path()};
    Context context_{.keychain = keychain_,
                     .directory = directory_,
                     .fdesetupPath = dir_ / "fdesetup",
                     .bundlePath = dir_.path(),
                     .machineRoot = dir_.path()};
};

struct BadFile {
    const char* name;
    // The file's contents; "DIR" stands for the test's folder.
    std::string contents;
    // The problem lines without the file's name: the file's own first, then
    // its keys in key order. Empty: none.
    std::vector<std::string> says;
    fs::perms mode = fs::perms(0644);
    // Changes the written file; needs root when it gives it away.
    std::function<void(const fs::path&)> then = nullptr;
    bool needsRoot = false;
};

std::string folderKey(const std::string& folder) {
    return key("LogFolderPath", text("DIR/" + folder));
}

std::string folderSays(const std::string& folder, const std::string& problem) {
    return "LogFolderPath: folder 'DIR/" + folder + "' " + problem + ", so lockstepd logs to " +
           (problem == "does not exist" ? "its default folder" : "a fresh temporary folder");
}

std::string replaced(std::string text, const std::string& dir) {
    for (auto at = text.find("DIR"); at != std::string::npos; at = text.find("DIR", at)) {
        text.replace(at, 3, dir);
    }
    return text;
}

TEST_F(CheckConfigTest, ReportsEachProblemOnItsOwnLine) {
    const std::string ignored = ", not a text, so lockstepd ignores it";
    const std::vector<BadFile> cases = {
        {"clean, truth values as a text",
         plist(folderKey("logs") + key("showDebug", text("yes")) +
               key("LogFileName", text("lockstepd.log"))),
         {}},
        {"clean, ~ expanded, a number for truth, an empty text unset",
         plist(key("LogFolderPath", text("~/logs")) + key("showDebug", "<integer>0</integer>") +
               key("LogFileName", text(""))),
         {}},
        {"clean, ~name expanded", plist(key("LogFolderPath", text("~carol/logs"))), {}},
        {"not a property list",
         "LogFileName=x\n",
         {"is not a property list, so lockstepd ignores it"}},
        {"not a dictionary",
         "<plist version=\"1.0\"><array/></plist>",
         {"is a property list without a dictionary at its root, so lockstepd ignores it"}},
        {"unknown keys, wrong kinds, a truth text read as false, a path as file name",
         plist(key("Colour", text("blue")) + key("LogFileName", text("../etc/x")) +
               key("ShowDebug", "<true/>") + key("showDebug", text("on"))),
         {"Colour: unknown setting, which lockstepd ignores",
          "LogFileName: '../etc/x' is not one plain file name, so lockstepd uses its default name",
          "ShowDebug: unknown setting, which lockstepd ignores (did you mean showDebug?)",
          "showDebug: the text 'on' reads as false: use <true/> or <false/>"}},
        {"wrong kinds",
         plist(key("LogFileName", "<integer>3</integer>") + key("LogFolderPath", "<true/>") +
               key("showDebug", "<array/>")),
         {"LogFileName: is a number" + ignored, "LogFolderPath: is a Boolean" + ignored,
          "showDebug: is an array, dictionary, date or data, not a Boolean, so lockstepd ignores "
          "it"}},
        {"relative folder",
         plist(key("LogFolderPath", text("logs"))),
         {"LogFolderPath: 'logs' is not an absolute path"}},
        {"unknown user",
         plist(key("LogFolderPath", text("~nobody-here/logs"))),
         {"LogFolderPath: '~nobody-here/logs' names a user without a home folder"}},
        {"missing folder", plist(folderKey("none")), {folderSays("none", "does not exist")}},
        {"folder is a link", plist(folderKey("link")), {folderSays("link", "is a symbolic link")}},
        {"folder is a file", plist(folderKey("file")), {folderSays("file", "is not a folder")}},
        {"folder writable by others",
         plist(folderKey("open")),
         {folderSays("open", "is writable by others")}},
        {"file writable by its group",
         plist(""),
         {"is writable by group or others (mode 0664): chmod go-w it"},
         fs::perms(0664)},
        {"file is a link, its target checked too",
         "junk",
         {"is a symbolic link, which lockstepd follows: replace it by the file itself",
          "is not a property list, so lockstepd ignores it"},
         fs::perms(0644),
         [](const fs::path& file) {
             fs::rename(file, file.string() + ".target");
             fs::create_symlink(file.string() + ".target", file);
         }},
        {"file is a folder",
         "",
         {"is not a regular file, so lockstepd ignores it"},
         fs::perms(0644),
         [](const fs::path& file) {
             fs::remove(file);
             fs::create_directory(file);
         }},
        {"file of a stranger",
         plist(""),
         {"is owned by user 65534, not root: chown it"},
         fs::perms(0644),
         [](const fs::path& file) { ASSERT_EQ(::chown(file.c_str(), kStranger, kStranger), 0); },
         true},
    };
    for (const BadFile& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && ::geteuid() != 0) {
            continue;  // only root can give files away
        }
        const fs::path file = dir_ / "lockstepd.plist";
        fs::remove_all(file);
        writeFile(file, replaced(c.contents, dir_.path().string()), c.mode);
        if (c.then) {
            c.then(file);
        }
        std::ostringstream out;
        const std::size_t count = ctl::checkPreferences(services({file}), out);
        std::vector<std::string> says;
        for (const std::string& line : c.says) {
            says.push_back(file.string() + ": " + replaced(line, dir_.path().string()));
        }
        EXPECT_THAT(lines(out.str()), ElementsAreArray(says));
        EXPECT_EQ(count, says.size());
        fs::remove_all(file.string() + ".target");
    }
}

// The command: every file is checked, and the exit status tells whether any
// had a problem.
TEST_F(CheckConfigTest, ExitStatusTellsWhetherAnyFileHasProblems) {
    const fs::path good = dir_ / "good.plist", bad = dir_ / "bad.plist";
    writeFile(good, plist(key("showDebug", "<true/>")));
    writeFile(bad, plist(key("Extra", "<true/>")));
    std::ostringstream out, err;
    EXPECT_EQ(ctl::run({"check-config"}, services({good, dir_ / "missing.plist"}), out, err), 0);
    EXPECT_EQ(out.str(), "no problems found\n");
    out.str("");
    EXPECT_EQ(ctl::run({"check-config"}, services({bad, good, bad}), out, err),
              static_cast<int>(ctl::ExitStatus::configProblems));
    EXPECT_EQ(lines(out.str()).size(), 2U) << out.str();
    EXPECT_EQ(err.str(), "");
}

}  // namespace
}  // namespace lockstep::testing
