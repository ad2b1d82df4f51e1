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
using ::testing::HasSubstr;

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

// A machine in a temporary folder: a good log folder "logs", a home folder
// "home" (of the checking user and of "carol") with a good "logs" in it, and
// the preference file "lockstepd.plist" that each case writes.
class CheckConfigTest : public ::testing::Test {
  protected:
    CheckConfigTest() {
        fs::create_directories(dir_ / "logs");
        fs::create_directories(dir_ / "home/logs");
        fs::permissions(dir_.path(), fs::perms(0755));
    }

    [[nodiscard]] ctl::Services services(std::vector<fs::path> files) const {
        const fs::path home = dir_ / "home";
        return {.context = context_,
                .systemKeychainPath = dir_ / "System.keychain",
                .userKeychainPath = std::nullopt,
                .logFile = [] { return std::optional<fs::path>(); },
                .passwordInput = -1,
                .terminal = dir_ / "no-terminal",
                .preferences = {
                    .files = std::move(files),
                    .userID = static_cast<std::uint32_t>(::geteuid()),
                    .homeFolderForUser = [home](std::uint32_t) { return home.string(); },
                    .homeFolderForUserName =
                        [home](const std::string& name) -> std::optional<std::string> {
                        return name == "carol" ? std::optional(home.string()) : std::nullopt;
                    }}};
    }

    // The problem lines for the file, without the file's name before them.
    [[nodiscard]] std::vector<std::string> problems(const fs::path& file) const {
        std::ostringstream out;
        const std::size_t count = ctl::checkPreferences(services({file}), out);
        std::vector<std::string> found = lines(out.str());
        EXPECT_EQ(count, found.size());
        for (std::string& line : found) {
            EXPECT_TRUE(line.starts_with(file.string() + ": ")) << line;
            line.erase(0, file.string().size() + 2);
        }
        return found;
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
    // Writes the preference file (and what it needs) below the folder.
    std::function<void(const fs::path& dir, const fs::path& file)> make;
    // The problem lines, without the file's name; empty: none.
    std::vector<std::string> says;
    bool needsRoot = false;
};

void write(const fs::path& file, const std::string& dictionary) {
    writeFile(file, plist(dictionary));
}

// Writes a file whose only key is LogFolderPath, naming the folder "odd"
// that `makeFolder` makes (or not) below the case's folder.
std::function<void(const fs::path&, const fs::path&)> folderCase(
    const std::function<void(const fs::path&)>& makeFolder) {
    return [makeFolder](const fs::path& dir, const fs::path& file) {
        makeFolder(dir / "odd");
        write(file, key("LogFolderPath", text((dir / "odd").string())));
    };
}

TEST_F(CheckConfigTest, ReportsEachProblemOnItsOwnLine) {
    const std::string folder = "DIR/odd";
    const std::vector<BadFile> cases = {
        {"clean, with every key and truth values as texts and numbers",
         [](const fs::path& dir, const fs::path& file) {
             write(file, key("LogFolderPath", text((dir / "logs").string())) +
                             key("LogFileName", text("lockstepd.log")) +
                             key("showDebug", text("yes")));
         },
         {}},
        {"clean, ~ expanded, showDebug a number, an empty text unset",
         [](const fs::path&, const fs::path& file) {
             write(file, key("LogFolderPath", text("~/logs")) +
                             key("showDebug", "<integer>0</integer>") +
                             key("LogFileName", text("")));
         },
         {}},
        {"clean, ~name expanded",
         [](const fs::path&, const fs::path& file) {
             write(file, key("LogFolderPath", text("~carol/logs")));
         },
         {}},
        {"missing file", [](const fs::path&, const fs::path&) {}, {}},
        {"not a property list",
         [](const fs::path&, const fs::path& file) { writeFile(file, "LogFileName=x\n"); },
         {"is not a property list, so lockstepd ignores it"}},
        {"not a dictionary",
         [](const fs::path&, const fs::path& file) {
             writeFile(file, "<plist version=\"1.0\"><array/></plist>");
         },
         {"is a property list without a dictionary at its root, so lockstepd ignores it"}},
        {"unknown keys, one a miscased known one",
         [](const fs::path&, const fs::path& file) {
             write(file, key("ShowDebug", "<true/>") + key("Colour", text("blue")));
         },
         {"Colour: unknown setting, which lockstepd ignores",
          "ShowDebug: unknown setting, which lockstepd ignores (did you mean showDebug?)"}},
        {"wrong kinds",
         [](const fs::path&, const fs::path& file) {
             write(file, key("LogFileName", "<integer>3</integer>") +
                             key("LogFolderPath", "<true/>") + key("showDebug", "<array/>"));
         },
         {"LogFileName: is a number, not a text, so lockstepd ignores it",
          "LogFolderPath: is a Boolean, not a text, so lockstepd ignores it",
          "showDebug: is an array, dictionary, date or data, not a Boolean, so lockstepd "
          "ignores it"}},
        {"a truth text that silently reads as false",
         [](const fs::path&, const fs::path& file) { write(file, key("showDebug", text("on"))); },
         {"showDebug: the text 'on' reads as false: use <true/> or <false/>"}},
        {"file names that are not one plain name",
         [](const fs::path&, const fs::path& file) {
             write(file, key("LogFileName", text("../etc/x")));
         },
         {"LogFileName: '../etc/x' is not one plain file name, so lockstepd uses its default "
          "name"}},
        {"relative folder",
         [](const fs::path&, const fs::path& file) {
             write(file, key("LogFolderPath", text("logs")));
         },
         {"LogFolderPath: 'logs' is not an absolute path"}},
        {"unknown user",
         [](const fs::path&, const fs::path& file) {
             write(file, key("LogFolderPath", text("~nobody-here/logs")));
         },
         {"LogFolderPath: '~nobody-here/logs' names a user without a home folder"}},
        {"missing folder",
         folderCase([](const fs::path&) {}),
         {"LogFolderPath: folder '" + folder +
          "' does not exist, so lockstepd logs to its default folder"}},
        {"folder is a link",
         folderCase([](const fs::path& odd) { fs::create_directory_symlink("logs", odd); }),
         {"LogFolderPath: folder '" + folder +
          "' is a symbolic link, so lockstepd logs to a fresh temporary folder"}},
        {"folder is a file",
         folderCase([](const fs::path& odd) { writeFile(odd, ""); }),
         {"LogFolderPath: folder '" + folder +
          "' is not a folder, so lockstepd logs to a fresh temporary folder"}},
        {"folder writable by others",
         folderCase([](const fs::path& odd) {
             fs::create_directory(odd);
             fs::permissions(odd, fs::perms(0777));
         }),
         {"LogFolderPath: folder '" + folder +
          "' is writable by others, so lockstepd logs to a fresh temporary folder"}},
        {"folder of a stranger",
         folderCase([](const fs::path& odd) {
             fs::create_directory(odd);
             ASSERT_EQ(::chown(odd.c_str(), kStranger, kStranger), 0);
         }),
         {"LogFolderPath: folder '" + folder +
          "' is owned by user 65534, not root, 92 or the user, so lockstepd logs to a fresh "
          "temporary folder"},
         true},
        {"file writable by its group",
         [](const fs::path&, const fs::path& file) { writeFile(file, plist(""), fs::perms(0664)); },
         {"is writable by group or others (mode 0664): chmod go-w it"}},
        {"file of a stranger",
         [](const fs::path&, const fs::path& file) {
             write(file, "");
             ASSERT_EQ(::chown(file.c_str(), kStranger, kStranger), 0);
         },
         {"is owned by user 65534, not root: chown it"},
         true},
        {"file is a link, its target checked too",
         [](const fs::path& dir, const fs::path& file) {
             writeFile(dir / "target.plist", "junk");
             fs::create_symlink(dir / "target.plist", file);
         },
         {"is a symbolic link, which lockstepd follows: replace it by the file itself",
          "is not a property list, so lockstepd ignores it"}},
        {"file is a folder",
         [](const fs::path&, const fs::path& file) { fs::create_directory(file); },
         {"is not a regular file, so lockstepd ignores it"}},
    };
    for (const BadFile& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && ::geteuid() != 0) {
            continue;  // only root can give files away
        }
        const TempDir caseDir(dir_.path());
        fs::permissions(caseDir.path(), fs::perms(0755));
        fs::create_directories(caseDir / "logs");
        const fs::path file = caseDir / "lockstepd.plist";
        c.make(caseDir.path(), file);
        // The file's own problems come first, then its keys in key order.
        std::vector<std::string> says = c.says;
        for (std::string& line : says) {
            if (const auto at = line.find("DIR"); at != std::string::npos) {
                line.replace(at, 3, caseDir.path().string());
            }
        }
        EXPECT_THAT(problems(file), ElementsAreArray(says));
    }
}

// The command: every file is checked, problems counted over all of them, and
// the exit status tells whether there were any.
TEST_F(CheckConfigTest, ExitStatusTellsWhetherAnyFileHasProblems) {
    const fs::path user = dir_ / "user.plist", system = dir_ / "system.plist";
    writeFile(user, plist(key("showDebug", "<true/>")));
    writeFile(system, plist(key("LogFileName", text("a/b")) + key("Extra", "<true/>")));
    struct Run {
        std::vector<fs::path> files;
        int status;
        std::size_t lines;
    };
    for (const Run& run :
         {Run{{user, dir_ / "missing.plist"}, 0, 1},
          Run{{user, system}, static_cast<int>(ctl::ExitStatus::configProblems), 2}}) {
        std::ostringstream out, err;
        EXPECT_EQ(ctl::run({"check-config"}, services(run.files), out, err), run.status);
        EXPECT_EQ(lines(out.str()).size(), run.lines) << out.str();
        EXPECT_EQ(err.str(), "");
        if (run.status == 0) {
            EXPECT_EQ(out.str(), "no problems found\n");
        } else {
            EXPECT_THAT(out.str(), HasSubstr(system.string() + ": Extra: unknown setting"));
        }
    }
}

}  // namespace
}  // namespace lockstep::testing
