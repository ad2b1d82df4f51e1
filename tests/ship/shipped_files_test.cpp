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
#include "platform/process.h"
#include "platform/user_defaults.h"
#include "support/daemon_sandbox.h"
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
    const std::string exits = page.substr(section, page.find(".Sh ", section + 1) - section);
    const std::regex item(R"(\n\.It ([0-9]+)\n)");
    std::set<int> documented, used;
    for (auto it = std::sregex_iterator(exits.begin(), exits.end(), item);
         it != std::sregex_iterator(); ++it) {
        documented.insert(std::stoi((*it)[1]));
    }
    using enum ctl::ExitStatus;
    for (const ctl::ExitStatus status :
         {ok, failure, notEnrolled, passwordInvalid, toolMissing, keychainUnreadable,
          systemKeychainDamaged, lastArmingFailed, keychainFilesUnsafe, configProblems, usage}) {
        used.insert(static_cast<int>(status));
    }
    EXPECT_EQ(documented, used);
}

// The system calls of each group that systemd knows, as systemd-analyze
// lists them (a member may be another group); empty when it cannot be run.
std::map<std::string, std::vector<std::string>> systemCallGroups() {
    auto spawned = spawnProcess({.program = "/usr/bin/systemd-analyze",
                                 .arguments = {"syscall-filter", "--no-pager"},
                                 .input = ChildStream::Null,
                                 .output = ChildStream::Pipe,
                                 .error = ChildStream::Null});
    std::map<std::string, std::vector<std::string>> groups;
    if (!spawned.process) {
        return groups;
    }
    std::istringstream lines(toString(spawned.process->communicate().output));
    std::string group;
    for (std::string line; std::getline(lines, line);) {
        const auto start = line.find_first_not_of(' ');
        if (line.starts_with("@")) {
            group = line;
        } else if (!group.empty() && start != std::string::npos && line[start] != '#') {
            groups[group].push_back(line.substr(start));
        }
    }
    if (!spawned.process->wait().value_or(ExitStatus{}).success()) {
        groups.clear();
    }
    return groups;
}

// Every system call of a real enrolment and plain run, the restart tool's
// included, passes the unit's SystemCallFilter= lines: a call it refused
// would fail with EPERM at boot, where nobody watches.
TEST(ShippedFiles, ServiceUnitAllowsEverySystemCallOfARun) {
    if (const auto reason = DaemonSandbox::unavailableReason()) {
        GTEST_SKIP() << "sandbox unavailable: " << *reason;
    }
    if (!std::filesystem::exists("/usr/bin/strace")) {
        GTEST_SKIP() << "strace is not installed";
    }
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers' runtime makes system calls of its own, and LeakSanitizer
    // cannot run under ptrace: only the shipped program's calls count.
    GTEST_SKIP() << "a sanitizer build does not make the shipped program's system calls";
#endif
    const auto groups = systemCallGroups();
    if (groups.empty()) {
        GTEST_SKIP() << "systemd-analyze cannot list the system call groups";
    }

    // The allow list of the first line, less what later "~" lines name.
    std::set<std::string> allowed;
    const std::function<void(const std::string&, bool)> apply = [&](const std::string& name,
                                                                    bool allow) {
        if (const auto group = groups.find(name); group != groups.end()) {
            for (const std::string& member : group->second) {
                apply(member, allow);
            }
        } else if (allow) {
            allowed.insert(name);
        } else {
            allowed.erase(name);
        }
    };
    std::istringstream unit(readFile(kSource / "packaging/lockstepd.service.in"));
    int filters = 0;
    for (std::string line; std::getline(unit, line);) {
        if (line.starts_with("SystemCallFilter=")) {
            const bool deny = line.starts_with("SystemCallFilter=~");
            ASSERT_EQ(deny, ++filters > 1) << "the first line is the allow list: " << line;
            std::istringstream names(line.substr(deny ? 18 : 17));
            for (std::string name; names >> name;) {
                apply(name, !deny);
            }
        }
    }
    ASSERT_GT(filters, 0) << "the unit has no SystemCallFilter=";

    DaemonSandbox sandbox;
    sandbox.accounts().addUser("alice", "correct horse", 501);
    sandbox.accounts().write();
    sandbox.installFdesetup();
    const auto result = sandbox.runScript(
        R"(strace -f -qq -o "$SANDBOX/enrol.trace" "$LOCKSTEPD" -s -u alice -p "correct horse"
           strace -f -qq -o "$SANDBOX/plain.trace" "$LOCKSTEPD")");
    ASSERT_EQ(result.exitCode, 0) << result.err;
    ASSERT_NE(result.out.find("Successfully authenticated with FileVault\nSuccessfully"),
              std::string::npos)
        << result.out;

    std::set<std::string> refused;
    const std::regex call(R"(^[0-9]+ +(?:<\.\.\. )?([a-z0-9_]+)[( ])");
    for (const char* trace : {"enrol.trace", "plain.trace"}) {
        std::istringstream calls(readFile(sandbox.path() / trace));
        std::smatch match;
        for (std::string line; std::getline(calls, line);) {
            if (std::regex_search(line, match, call) && !allowed.contains(match[1])) {
                refused.insert(match[1]);
            }
        }
    }
    EXPECT_TRUE(refused.empty()) << "refused by the unit: " << ::testing::PrintToString(refused);
}

}  // namespace
}  // namespace lockstep::testing
