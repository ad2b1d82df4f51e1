// The shipped text files agree with the programs that read or describe them.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ctl/ctl.h"
#include "platform/user_defaults.h"
#include "support/daemon_sandbox.h"
#include "support/temp_dir.h"

namespace lockstep::testing {
namespace {

const std::filesystem::path kSource = LOCKSTEP_SOURCE_DIR;

// The example preferences parse as the daemon parses preference files.
TEST(ShippedFiles, ExamplePreferencesAreReadByTheDaemon) {
    const UserDefaults defaults({UserDefaults::readDomain(kSource / "packaging/lockstepd.plist")});
    EXPECT_EQ(
        std::tuple(defaults.stringForKey("LogFolderPath"), defaults.stringForKey("LogFileName"),
                   defaults.boolForKey("showDebug"), defaults.domains().front().size()),
        std::tuple("/tmp/lockstep", "generic.log", true, 3U));
}

// The exit statuses lockstepctl(8) lists are the ones the program uses.
TEST(ShippedFiles, LockstepctlPageListsEveryExitStatus) {
    const std::string page = readFile(kSource / "man/lockstepctl.8");
    const auto section = page.find(".Sh EXIT STATUS");
    const std::string exits = page.substr(section, page.find(".Sh ", section + 1) - section);
    std::set<int> documented, used;
    const std::regex item(R"(\n\.It ([0-9]+)\n)");
    for (std::sregex_iterator it(exits.begin(), exits.end(), item), end; it != end; ++it)
        documented.insert(std::stoi((*it)[1]));
    using enum ctl::ExitStatus;
    for (const auto status :
         {ok, failure, notEnrolled, passwordInvalid, toolMissing, keychainUnreadable,
          systemKeychainDamaged, lastArmingFailed, keychainFilesUnsafe, configProblems, usage})
        used.insert(static_cast<int>(status));
    EXPECT_EQ(documented, used);
}

// Every system call of a real enrolment and plain run, the restart tool's
// included, passes the unit's SystemCallFilter= lines: a call it refused
// would fail with EPERM at boot, where nobody watches.
TEST(ShippedFiles, ServiceUnitAllowsEverySystemCallOfARun) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "a sanitizer build makes system calls of its own and cannot run under ptrace";
#endif
    const auto reason = DaemonSandbox::unavailableReason();
    if (reason || !std::filesystem::exists("/usr/bin/strace")) {
        GTEST_SKIP() << reason.value_or("strace is not installed");
    }
    DaemonSandbox sandbox;
    sandbox.accounts().addUser("alice", "horse", 501);
    sandbox.accounts().write();
    sandbox.installFdesetup();
    // The groups systemd knows (a member may be another group), then the
    // names of the calls made.
    const auto result = sandbox.runScript(R"(systemd-analyze syscall-filter --no-pager 2>/dev/null
        strace -f -qq -c -U name -o "$SANDBOX/calls" "$LOCKSTEPD" -s -u alice -p horse
        strace -f -qq -c -U name -A -o "$SANDBOX/calls" "$LOCKSTEPD" >/dev/null)");
    ASSERT_EQ(result.exitCode, 0) << result.err;
    std::map<std::string, std::vector<std::string>> groups;
    std::istringstream listing(result.out);
    std::string group;
    for (std::string line; std::getline(listing, line);) {
        const std::string name = line.substr(std::min(line.find_first_not_of(' '), line.size()));
        if (line.starts_with('@')) {
            group = line;
        } else if (!name.empty() && name[0] != '#') {
            groups[group].push_back(name);
        }
    }

    std::set<std::string> allowed;
    const std::function<void(const std::string&, bool)> apply = [&](const std::string& name,
                                                                    bool allow) {
        for (const std::string& member : groups[name]) apply(member, allow);
        allow ? static_cast<void>(allowed.insert(name)) : static_cast<void>(allowed.erase(name));
    };
    const std::string unit = readFile(kSource / "packaging/lockstepd.service.in");
    const std::regex filter("\nSystemCallFilter=(~?)([^\n]*)");
    for (std::sregex_iterator it(unit.begin(), unit.end(), filter), end; it != end; ++it) {
        std::istringstream names((*it)[2]);
        for (std::string name; names >> name;) apply(name, (*it)[1] == "");
    }
    std::set<std::string> refused;
    std::istringstream calls(readFile(sandbox.path() / "calls"));
    for (std::string name; calls >> name;) refused.insert(name);
    std::erase_if(refused, [&](const std::string& name) {
        return allowed.contains(name) || name == "syscall" || name == "total" || name[0] == '-';
    });
    EXPECT_EQ(refused, std::set<std::string>{});
    EXPECT_NE(result.out.find("Successfully authenticated with FileVault"), std::string::npos);
}

}  // namespace
}  // namespace lockstep::testing
