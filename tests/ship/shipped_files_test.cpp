// The shipped text files agree with the programs that read or describe them.

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <string>

#include "ctl/ctl.h"
#include "platform/user_defaults.h"
#include "support/temp_dir.h"

namespace lockstep::testing {
namespace {

const std::filesystem::path kSource = LOCKSTEP_SOURCE_DIR;

// The example preferences parse as the daemon parses preference files, with
// the three keys at the kinds the daemon reads them as.
TEST(ShippedFiles, ExamplePreferencesAreReadByTheDaemon) {
    const UserDefaults defaults({UserDefaults::readDomain(kSource / "packaging/lockstepd.plist")});
    EXPECT_EQ(defaults.stringForKey("LogFolderPath"), "/tmp/lockstep");
    EXPECT_EQ(defaults.stringForKey("LogFileName"), "generic.log");
    EXPECT_TRUE(defaults.boolForKey("showDebug"));
    EXPECT_EQ(defaults.domains().front().size(), 3U);
}

// The exit statuses lockstepctl(8) lists are the ones the program uses.
TEST(ShippedFiles, LockstepctlPageListsEveryExitStatus) {
    const std::string page = readFile(kSource / "man/lockstepctl.8");
    const auto section = page.find(".Sh EXIT STATUS");
    ASSERT_NE(section, std::string::npos);
    const std::string exitSection = page.substr(section, page.find(".Sh ", section + 1) - section);
    std::set<int> documented;
    const std::regex item(R"(\n\.It ([0-9]+)\n)");
    for (auto it = std::sregex_iterator(exitSection.begin(), exitSection.end(), item);
         it != std::sregex_iterator(); ++it) {
        documented.insert(std::stoi((*it)[1]));
    }
    using ctl::ExitStatus;
    std::set<int> used;
    for (const ExitStatus status :
         {ExitStatus::ok, ExitStatus::failure, ExitStatus::notEnrolled, ExitStatus::passwordInvalid,
          ExitStatus::toolMissing, ExitStatus::keychainUnreadable,
          ExitStatus::systemKeychainDamaged, ExitStatus::usage}) {
        used.insert(static_cast<int>(status));
    }
    EXPECT_EQ(documented, used);
}

}  // namespace
}  // namespace lockstep::testing
