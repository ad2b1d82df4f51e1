// Keychains shared by processes: two processes changing one keychain at
// once, and a process killed in the middle of a change. The child side runs
// in this same test program, started again with its order in the
// environment (see support/child_mode.h).

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>

#include "keychain_test_support.h"
#include "support/child_mode.h"
#include "support/kill_vfs.h"

extern char** environ;

namespace lockstep::testing {
namespace {

// "<op> <folder> <argument>": op is "race" (argument: the child's id) or the
// change to cut ("add", "delete", "setacl"; argument: the kill point).
constexpr char kOrder[] = "LOCKSTEP_KEYCHAIN_TEST_CHILD";
constexpr char kOldSecret[] = "old secret 7f3a";
constexpr char kNewSecret[] = "new secret 91c4";
constexpr char kChangedDescription[] = "changed description";
// Exit code of a racing child that lost the shared item.
constexpr int kDuplicate = 1;

// The System keychain in a folder, through a service of its own; the folder
// doubles as the calling program (trusted by path, nothing to hash).
struct Keychain {
    explicit Keychain(const std::filesystem::path& dir)
        : service({.systemKeychainPath = dir / "System.keychain",
                   .userKeychainPath = dir / "login.keychain",
                   .callingProgramPath = dir}),
          opened(service.SecKeychainCopyDomainDefault(kSecPreferencesDomainSystem, &keychain)) {}

    OSStatus add(const std::string& name, const std::string& account, const std::string& secret) {
        return service.SecItemAdd({{std::string(kSecClass), std::string(kSecClassGenericPassword)},
                                   {std::string(kSecAttrService), name},
                                   {std::string(kSecAttrAccount), account},
                                   {std::string(kSecValueData), SecretBytes(toBytes(secret))},
                                   {std::string(kSecUseKeychain), keychain}},
                                  nullptr);
    }
    // Finds ("Lockstep", account).
    OSStatus find(const std::string& account, std::string* secret,
                  SecKeychainItemRef* item = nullptr) {
        SecretBytes data;
        const OSStatus status = service.SecKeychainFindGenericPassword(
            keychain, 8, "Lockstep", static_cast<std::uint32_t>(account.size()), account.data(),
            nullptr, &data, item);
        *secret = toString(data.bytes());
        return status;
    }

    SqliteKeychainService service;
    SecKeychainRef keychain;
    OSStatus opened;
};

void check(OSStatus status, int code, const char* what) {
    if (status != errSecSuccess) {
        std::cerr << "keychain child: " << what << " failed: " << status << std::endl;
        std::_Exit(code);
    }
}

// The child of the tests below, run with its order instead of the tests.
int runKeychainChild(const char* order) {
    std::string op, dir, argument;
    std::istringstream(order) >> op >> dir >> argument;
    if (op != "race") {
        kill_vfs::install();
    }
    Keychain opened(dir);
    check(opened.opened, 10, "open");
    if (op == "race") {
        for (int i = 0; i < 10; ++i) {
            check(opened.add("own-" + argument + "-" + std::to_string(i), "a", argument), 11,
                  "add");
        }
        const OSStatus status = opened.add("Lockstep", "shared", "from-" + argument);
        std::_Exit(status == errSecDuplicateItem ? kDuplicate : (check(status, 12, "share"), 0));
    }
    std::string secret;
    SecKeychainItemRef item;
    check(opened.find("old", &secret, &item), 13, "find");
    SecAccessRef access;
    check(opened.service.SecKeychainItemCopyAccess(item, &access), 14, "copy access");
    access->acls.front()->description = kChangedDescription;

    kill_vfs::arm(std::stoi(argument));
    const OSStatus status = op == "add"      ? opened.add("Lockstep", "new", kNewSecret)
                            : op == "delete" ? opened.service.SecKeychainItemDelete(item)
                                             : opened.service.SecKeychainItemSetAccessWithPassword(
                                                   item, access, 0, nullptr);
    kill_vfs::arm(0);
    check(status, 15, op.c_str());
    return 0;
}

[[maybe_unused]] ::testing::Environment* const keychainChild =
    addChildMode(kOrder, runKeychainChild);

// Starts this program again as the keychain child with `order`, its output
// going to /dev/null; gives the child's pid.
pid_t spawnChild(const std::string& order) {
    std::string variable = std::string(kOrder) + "=" + order;
    std::vector<char*> envp{variable.data()};
    for (char** entry = environ; *entry != nullptr; ++entry) {
        envp.push_back(*entry);
    }
    envp.push_back(nullptr);
    std::string program = "/proc/self/exe";
    char* argv[] = {program.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int error = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(error, 0) << std::strerror(error);
    return error == 0 ? pid : -1;
}

// Waits for a child; gives the raw wait status.
int waitChild(pid_t pid) {
    int status = -1;  // reads as killed by signal 127 when there is no child
    while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

class ProcessTest : public ::testing::TestWithParam<const char*> {
  protected:
    TempDir dir_;
};

TEST_F(ProcessTest, TwoProcessesAddingAtOnceBothFinishCleanly) {
    // Both also race to create the keychain and its key.
    const pid_t first = spawnChild("race " + dir_.path().string() + " 1");
    const pid_t second = spawnChild("race " + dir_.path().string() + " 2");
    ASSERT_GT(first, 0);
    ASSERT_GT(second, 0);
    const int statuses[] = {waitChild(first), waitChild(second)};
    for (const int status : statuses) {
        ASSERT_TRUE(WIFEXITED(status)) << status;
    }
    // Exactly one wins the shared item; the other is told it exists.
    const int codes[] = {WEXITSTATUS(statuses[0]), WEXITSTATUS(statuses[1])};
    ASSERT_EQ(std::min(codes[0], codes[1]), 0);
    ASSERT_EQ(std::max(codes[0], codes[1]), kDuplicate);

    EXPECT_EQ(integrityCheck(dir_ / "System.keychain"), "ok");
    EXPECT_EQ(rawSql(dir_ / "System.keychain", "SELECT count(*) FROM genp"),
              std::vector<std::string>{"21"});
    Keychain opened(dir_.path());
    ASSERT_EQ(opened.opened, errSecSuccess);
    std::string secret;
    ASSERT_EQ(opened.find("shared", &secret), errSecSuccess);
    EXPECT_EQ(secret, codes[0] == 0 ? "from-1" : "from-2");
}

using KilledChangeTest = ProcessTest;

// What the keychain in `dir` holds after a run: true for the new state,
// false for the old; fails the test for anything else.
bool holdsNewState(const std::filesystem::path& dir, const std::string& op) {
    EXPECT_EQ(integrityCheck(dir / "System.keychain"), "ok");
    Keychain opened(dir);
    EXPECT_EQ(opened.opened, errSecSuccess);
    std::string old;
    SecKeychainItemRef item;
    const OSStatus oldStatus = opened.find("old", &old, &item);
    if (op == "delete" && oldStatus == errSecItemNotFound) {
        return true;
    }
    EXPECT_EQ(oldStatus, errSecSuccess);
    EXPECT_EQ(old, kOldSecret);
    if (op == "add") {
        std::string added;
        const OSStatus status = opened.find("new", &added);
        EXPECT_TRUE(status == errSecItemNotFound || added == kNewSecret) << status;
        return status == errSecSuccess;
    }
    if (op == "delete") {
        return false;
    }
    SecAccessRef access;
    EXPECT_EQ(opened.service.SecKeychainItemCopyAccess(item, &access), errSecSuccess);
    if (!access) {
        return false;
    }
    EXPECT_EQ(access->acls.size(), 4U);
    return access->acls.front()->description == kChangedDescription;
}

TEST_P(KilledChangeTest, LeavesTheOldOrTheNewState) {
    // The state every run starts from: one item ("Lockstep", "old").
    const auto base = dir_ / "base";
    std::filesystem::create_directories(base);
    {
        Keychain opened(base);
        ASSERT_EQ(opened.opened, errSecSuccess);
        ASSERT_EQ(opened.add("Lockstep", "old", kOldSecret), errSecSuccess);
    }
    bool sawOld = false, sawNew = false, finished = false, sawHotJournal = false;
    for (int killAt = 1; killAt <= 40 && !finished; ++killAt) {
        const auto run = dir_ / ("run-" + std::to_string(killAt));
        std::filesystem::copy(base, run);
        const int status = waitChild(spawnChild(std::string(GetParam()) + " " + run.string() + " " +
                                                std::to_string(killAt)));
        if (WIFEXITED(status)) {
            ASSERT_EQ(WEXITSTATUS(status), 0) << "kill point " << killAt;
            finished = true;
        } else {
            ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
        }
        // Whatever was left on disk holds no clear secret, journal included.
        for (const char* name : {"System.keychain", "System.keychain-journal"}) {
            EXPECT_FALSE(contains(fileBytes(run / name), kNewSecret)) << name;
            EXPECT_FALSE(contains(fileBytes(run / name), kOldSecret)) << name;
        }
        std::error_code error;
        sawHotJournal |=
            std::filesystem::file_size(run / "System.keychain-journal", error) > 0 && !error;
        const bool isNew = holdsNewState(run, GetParam());
        EXPECT_TRUE(isNew || !finished) << "a finished change must show";
        (isNew ? sawNew : sawOld) = true;
        std::filesystem::remove_all(run);
    }
    EXPECT_TRUE(finished) << "the change never ran to its end";
    EXPECT_TRUE(sawOld);
    EXPECT_TRUE(sawNew);
    // Some kill points fell inside the commit, with the journal still there.
    EXPECT_TRUE(sawHotJournal);
}

INSTANTIATE_TEST_SUITE_P(Changes, KilledChangeTest, ::testing::Values("add", "delete", "setacl"),
                         [](const auto& param) { return std::string(param.param); });

}  // namespace
}  // namespace lockstep::testing
