// Keychains shared by processes: two processes changing one keychain at
// once, and a process killed in the middle of a change. The child side runs
// in this same test program, started again with its order in the
// environment (see support/child_mode.h).

#include "platform/process.h"

#include <signal.h>

#include <cstdlib>
#include <sstream>
#include <thread>

#include "keychain_test_support.h"
#include "support/child_mode.h"
#include "support/kill_vfs.h"

namespace lockstep::testing {
namespace {

// "<op> <folder> <argument>": op is "race" (argument: the child's id) or the
// change to cut ("add", "delete", "setacl"; argument: the kill point).
constexpr char kOrder[] = "LOCKSTEP_KEYCHAIN_TEST_CHILD";
constexpr char kOldSecret[] = "old secret 7f3a";
constexpr char kNewSecret[] = "new secret 91c4";
constexpr char kChangedDescription[] = "changed description";
constexpr int kDuplicate = 1;  // exit code of a racing child that lost the shared item

// The System keychain in a folder, through a service of its own; the folder
// doubles as the calling program (trusted by path, nothing to hash).
struct Keychain {
    explicit Keychain(const std::filesystem::path& dir)
        : service({dir / "System.keychain", dir / "login.keychain", dir}),
          opened(service.SecKeychainCopyDomainDefault(kSecPreferencesDomainSystem, &keychain)) {}
    OSStatus add(const std::string& name, const std::string& account, const std::string& secret) {
        return addItem(service, keychain, name, account, secret);
    }
    Found find(const std::string& account) {
        return findItem(service, keychain, "Lockstep", account);
    }

    SqliteKeychainService service;
    SecKeychainRef keychain;
    OSStatus opened;
};

// The child of the tests below: exits 10 + the step that failed.
int runKeychainChild(const char* order) {
    std::string op, dir, argument;
    std::istringstream(order) >> op >> dir >> argument;
    if (op != "race") {
        kill_vfs::install();
    }
    Keychain opened(dir);
    const auto check = [](OSStatus status, int step) {
        if (status != errSecSuccess) {
            std::_Exit(10 + step);
        }
    };
    check(opened.opened, 0);
    if (op == "race") {
        for (int i = 0; i < 10; ++i) {
            check(opened.add("own-" + argument + "-" + std::to_string(i), "a", argument), 1);
        }
        const OSStatus status = opened.add("Lockstep", "shared", "from-" + argument);
        return status == errSecDuplicateItem ? kDuplicate : (check(status, 2), 0);
    }
    const Found old = opened.find("old");
    SecAccessRef access;
    check(old.status + opened.service.SecKeychainItemCopyAccess(old.item, &access), 3);
    access->acls.front()->description = kChangedDescription;
    kill_vfs::arm(std::stoi(argument));
    check(op == "add" ? opened.add("Lockstep", "new", kNewSecret)
          : op == "delete"
              ? opened.service.SecKeychainItemDelete(old.item)
              : opened.service.SecKeychainItemSetAccessWithPassword(old.item, access, 0, nullptr),
          5);
    return 0;
}

[[maybe_unused]] ::testing::Environment* const keychainChild =
    addChildMode(kOrder, runKeychainChild);

// Runs this program again as the keychain child with `order`; waits for it.
ExitStatus runChild(const std::string& order) {
    const auto self = std::filesystem::read_symlink("/proc/self/exe").string();
    return spawnProcess({"/usr/bin/env", {std::string(kOrder) + "=" + order, self}})
        .process.value()
        .wait()
        .value();
}

bool intact(const std::filesystem::path& dir) {
    return rawSql(dir / "System.keychain", "PRAGMA integrity_check") ==
           std::vector<std::string>{"ok"};
}

class ProcessTest : public ::testing::TestWithParam<const char*> {
  protected:
    TempDir dir_;
};

TEST_F(ProcessTest, TwoProcessesAddingAtOnceBothFinishCleanly) {
    // Both also race to create the keychain and its key; exactly one wins the shared item.
    ExitStatus second;
    std::thread racing([&] { second = runChild("race " + dir_.path().string() + " 2"); });
    const ExitStatus first = runChild("race " + dir_.path().string() + " 1");
    racing.join();
    ASSERT_TRUE(first.exited && second.exited);
    ASSERT_EQ(first.code + second.code, kDuplicate) << first.code << " " << second.code;
    EXPECT_TRUE(intact(dir_.path()));
    EXPECT_EQ(rawSql(dir_ / "System.keychain", "SELECT count(*) FROM genp"),
              std::vector<std::string>{"21"});
    EXPECT_EQ(Keychain(dir_.path()).find("shared").secret, first.code == 0 ? "from-1" : "from-2");
}

using KilledChangeTest = ProcessTest;

// What the keychain in `dir` holds after a run: true for the new state,
// false for the old; fails the test for anything else.
bool holdsNewState(const std::filesystem::path& dir, const std::string& op) {
    EXPECT_TRUE(intact(dir));
    Keychain opened(dir);
    const Found old = opened.find("old");
    if (op == "delete" && old.status == errSecItemNotFound) {
        return true;
    }
    EXPECT_EQ(old.secret, kOldSecret);
    const Found added = opened.find("new");
    EXPECT_TRUE(added.status == errSecItemNotFound || added.secret == kNewSecret);
    SecAccessRef access;
    if (op != "setacl") {
        return added.status == errSecSuccess;
    }
    EXPECT_EQ(opened.service.SecKeychainItemCopyAccess(old.item, &access), errSecSuccess);
    return access && access->acls.front()->description == kChangedDescription;
}

TEST_P(KilledChangeTest, LeavesTheOldOrTheNewState) {
    const auto base = dir_ / "base";
    std::filesystem::create_directories(base);
    ASSERT_EQ(Keychain(base).add("Lockstep", "old", kOldSecret), errSecSuccess);
    bool sawOld = false, sawNew = false, finished = false, sawHotJournal = false;
    for (int killAt = 1; killAt <= 40 && !finished; ++killAt) {
        const auto run = dir_ / ("run-" + std::to_string(killAt));
        std::filesystem::copy(base, run);
        const ExitStatus status =
            runChild(std::string(GetParam()) + " " + run.string() + " " + std::to_string(killAt));
        finished = status.success();
        ASSERT_TRUE(finished || (status == ExitStatus{false, SIGKILL})) << status.code;
        // Whatever was left on disk holds no clear secret, journal included.
        for (const char* name : {"System.keychain", "System.keychain-journal"}) {
            EXPECT_FALSE(fileHolds(run / name, kNewSecret) || fileHolds(run / name, kOldSecret));
        }
        sawHotJournal |= !readFile(run / "System.keychain-journal").empty();
        const bool isNew = holdsNewState(run, GetParam());
        EXPECT_TRUE(isNew || !finished) << "a finished change must show";
        (isNew ? sawNew : sawOld) = true;
        std::filesystem::remove_all(run);
    }
    EXPECT_TRUE(finished && sawOld && sawNew && sawHotJournal);
}

INSTANTIATE_TEST_SUITE_P(Changes, KilledChangeTest, ::testing::Values("add", "delete", "setacl"),
                         [](const auto& param) { return std::string(param.param); });

}  // namespace
}  // namespace lockstep::testing
