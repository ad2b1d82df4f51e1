// lockstepctl check-config on preference files in a temporary folder.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
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
std::string folderKey(const std::string& folder) {
    return key("LogFolderPath", text("DIR/" + folder));
}
std::string folderSays(const std::string& folder, const std::string& problem) {
    return "LogFolderPath: folder 'DIR/" + folder + "' " + problem + ", so lockstepd logs to " +
           (problem == "does not exist" ? "its default folder\n" : "a fresh temporary folder\n");
}

// A machine in a temporary folder "DIR" with log folders of every kind:
// "logs" (good), "link" (a link to it), "file", "open" (writable by
// others), and the home folder "home" (of the checking user and of "carol")
// with a good "logs" in it.
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

    // check-config on these files: its exit status and output.
    std::pair<int, std::string> check(std::vector<fs::path> files) {
        const std::string home = (dir_ / "home").string();
        const auto homeOf = [home](const std::string& name) -> std::optional<std::string> {
            return name == "carol" ? std::optional(home) : std::nullopt;
        };
        std::ostringstream out, err;
        const int status =
            ctl::run({"check-config"},
                     {.context = context_,
                      .systemKeychainPath = dir_ / "System.keychain",
                      .userKeychainPath = std::nullopt,
                      .passwordInput = -1,
                      .terminal = dir_ / "no-terminal",
                      .restart = {},
                      .preferences = {.files = std::move(files),
                                      .userID = static_cast<std::uint32_t>(::geteuid()),
                                      .homeFolderForUser = [home](std::uint32_t) { return home; },
                                      .homeFolderForUserName = homeOf}},
                     out, err);
        EXPECT_EQ(err.str(), "");
        return {status, out.str()};
    }

    // The text with the folder's path in place of "DIR".
    std::string expand(std::string text) const {
        for (auto at = text.find("DIR"); at != std::string::npos; at = text.find("DIR", at)) {
            text.replace(at, 3, dir_.path().string());
        }
        return text;
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
    std::string contents;
    // The problem lines without the file's name: the file's own first, then
    // its keys in key order. None: the file is clean.
    std::string says;
    void (*then)(const fs::path&) = nullptr;  // changes the written file
};

// Each problem on its own line, and exit status 9 when there is any.
TEST_F(CheckConfigTest, ReportsEachProblemOnItsOwnLine) {
    const std::string ignored = ", not a text, so lockstepd ignores it\n";
    const std::vector<BadFile> cases = {
        {"clean, truth values as a text",
         plist(folderKey("logs") + key("showDebug", text("yes")) +
               key("LogFileName", text("lockstepd.log"))),
         ""},
        {"clean, ~ expanded, a number for truth, an empty text unset",
         plist(key("LogFolderPath", text("~/logs")) + key("showDebug", "<integer>0</integer>") +
               key("LogFileName", text(""))),
         ""},
        {"clean, ~name expanded", plist(key("LogFolderPath", text("~carol/logs"))), ""},
        {"not a property list", "LogFileName=x\n",
         "is not a property list, so lockstepd ignores it\n"},
        {"not a dictionary", "<plist version=\"1.0\"><array/></plist>",
         "is a property list without a dictionary at its root, so lockstepd ignores it\n"},
        {"unknown keys, wrong kinds, a truth text read as false, a path as file name",
         plist(key("Colour", text("blue")) + key("LogFileName", text("../etc/x")) +
               key("ShowDebug", "<true/>") + key("showDebug", text("on"))),
         "Colour: unknown setting, which lockstepd ignores\n"
         "LogFileName: '../etc/x' is not one plain file name, so lockstepd uses its default name\n"
         "ShowDebug: unknown setting, which lockstepd ignores (did you mean showDebug?)\n"
         "showDebug: the text 'on' reads as false: use <true/> or <false/>\n"},
        {"wrong kinds",
         plist(key("LogFileName", "<integer>3</integer>") + key("LogFolderPath", "<true/>") +
               key("showDebug", "<array/>")),
         "LogFileName: is a number" + ignored + "LogFolderPath: is a Boolean" + ignored +
             "showDebug: is an array, dictionary, date or data, not a Boolean, so lockstepd "
             "ignores it\n"},
        {"relative folder", plist(key("LogFolderPath", text("logs"))),
         "LogFolderPath: 'logs' is not an absolute path\n"},
        {"unknown user", plist(key("LogFolderPath", text("~nobody-here/logs"))),
         "LogFolderPath: '~nobody-here/logs' names a user without a home folder\n"},
        {"missing folder", plist(folderKey("none")), folderSays("none", "does not exist")},
        {"folder is a link", plist(folderKey("link")), folderSays("link", "is a symbolic link")},
        {"folder is a file", plist(folderKey("file")), folderSays("file", "is not a folder")},
        {"folder writable by others", plist(folderKey("open")),
         folderSays("open", "is writable by others")},
        {"file writable by its group", plist(""),
         "is writable by group or others (mode 0664): chmod go-w it\n",
         [](const fs::path& file) { fs::permissions(file, fs::perms(0664)); }},
        {"file is a link, its target checked too", "junk",
         "is a symbolic link, which lockstepd follows: replace it by the file itself\n"
         "is not a property list, so lockstepd ignores it\n",
         [](const fs::path& file) {
             fs::rename(file, file.string() + ".target");
             fs::create_symlink(file.string() + ".target", file);
         }},
        {"file is a folder", "", "is not a regular file, so lockstepd ignores it\n",
         [](const fs::path& file) {
             fs::remove(file);
             fs::create_directory(file);
         }},
        {"file of a stranger", plist(""), "is owned by user 65534, not root: chown it\n",
         [](const fs::path& file) { ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0); }},
    };
    const fs::path file = dir_ / "lockstepd.plist";
    for (const BadFile& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(file);
        fs::remove_all(file.string() + ".target");
        writeFile(file, expand(c.contents), fs::perms(0644));
        if (c.then) {
            c.then(file);
        }
        std::string says = c.says.empty() ? "no problems found\n" : "";
        std::istringstream lines(expand(c.says));
        for (std::string line; std::getline(lines, line);) {
            says += file.string() + ": " + line + "\n";
        }
        // A file that is missing has no problem.
        EXPECT_EQ(check({file, dir_ / "missing.plist"}), std::pair(c.says.empty() ? 0 : 9, says));
    }
    // Every file is checked, each time it is named.
    const auto [status, out] = check({file, dir_ / "missing.plist", file});
    EXPECT_EQ(status, static_cast<int>(ctl::ExitStatus::configProblems));
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
}

}  // namespace
}  // namespace lockstep::testing
