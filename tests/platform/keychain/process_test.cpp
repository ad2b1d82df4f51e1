// Keychains shared by processes: two processes changing one keychain at
// once, and a process killed in the middle of a change. The child side runs
// in this same test program, started again with a filter for
// KeychainChild.Run and its orders in the environment.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "keychain_test_support.h"
#include "support/kill_vfs.h"

namespace lockstep::testing {
namespace {

constexpr char kChildRole[] = "LOCKSTEP_KEYCHAIN_TEST_CHILD";
constexpr char kChildDir[] = "LOCKSTEP_KEYCHAIN_TEST_DIR";
constexpr char kChildId[] = "LOCKSTEP_KEYCHAIN_TEST_ID";
constexpr char kChildKillAt[] = "LOCKSTEP_KEYCHAIN_TEST_KILL_AT";

constexpr char kOldSecret[] = "old secret 7f3a";
constexpr char kNewSecret[] = "new secret 91c4";
constexpr char kChangedDescription[] = "changed description";

// Exit codes of a child.
constexpr int kChildDone = 0;
constexpr int kChildDuplicate = 1;

SqliteKeychainOptions childOptions(const std::filesystem::path& dir) {
    SqliteKeychainOptions options;
    options.systemKeychainPath = dir / "System.keychain";
    options.userKeychainPath = dir / "login.keychain";
    // A folder: trusted by path, nothing to hash.
    options.callingProgramPath = dir;
    return options;
}

[[noreturn]] void childExit(int code, const char* what, OSStatus status) {
    if (code != kChildDone && code != kChildDuplicate) {
        std::cerr << "keychain child: " << what << " failed: " << status << std::endl;
    }
    std::_Exit(code);
}

OSStatus addItem(SqliteKeychainService& service, const SecKeychainRef& keychain,
                 const std::string& name, const std::string& account, const std::string& secret) {
    const CFDictionary query{
        {std::string(kSecClass), std::string(kSecClassGenericPassword)},
        {std::string(kSecAttrService), name},
        {std::string(kSecAttrAccount), account},
        {std::string(kSecValueData), SecretBytes(toBytes(secret))},
        {std::string(kSecUseKeychain), keychain},
    };
    return service.SecItemAdd(query, nullptr);
}

// Runs only as a child of the tests below; skipped in a normal run.
TEST(KeychainChild, Run) {
    const char* role = std::getenv(kChildRole);
    if (role == nullptr) {
        GTEST_SKIP() << "runs only as a child of the keychain process tests";
    }
    const std::filesystem::path dir = std::getenv(kChildDir);
    const std::string op = role;
    if (op != "race") {
        kill_vfs::install();
    }
    SqliteKeychainService service(childOptions(dir));
    SecKeychainRef keychain;
    OSStatus status = service.SecKeychainCopyDomainDefault(kSecPreferencesDomainSystem, &keychain);
    if (status != errSecSuccess) {
        childExit(10, "open", status);
    }

    if (op == "race") {
        const std::string id = std::getenv(kChildId);
        for (int i = 0; i < 10; ++i) {
            status = addItem(service, keychain, "own-" + id + "-" + std::to_string(i), "a", id);
            if (status != errSecSuccess) {
                childExit(11, "own add", status);
            }
        }
        status = addItem(service, keychain, "Lockstep", "shared", "from-" + id);
        childExit(status == errSecSuccess         ? kChildDone
                  : status == errSecDuplicateItem ? kChildDuplicate
                                                  : 12,
                  "shared add", status);
    }

    SecKeychainItemRef item;
    status = service.SecKeychainFindGenericPassword(keychain, 8, "Lockstep", 3, "old", nullptr,
                                                    nullptr, &item);
    if (status != errSecSuccess) {
        childExit(13, "find", status);
    }
    SecAccessRef access;
    status = service.SecKeychainItemCopyAccess(item, &access);
    if (status != errSecSuccess) {
        childExit(14, "copy access", status);
    }
    access->acls.front()->description = kChangedDescription;

    kill_vfs::arm(std::atoi(std::getenv(kChildKillAt)));
    if (op == "add") {
        status = addItem(service, keychain, "Lockstep", "new", kNewSecret);
    } else if (op == "delete") {
        status = service.SecKeychainItemDelete(item);
    } else if (op == "setacl") {
        status = service.SecKeychainItemSetAccessWithPassword(item, access, 0, nullptr);
    }
    kill_vfs::arm(0);
    childExit(status == errSecSuccess ? kChildDone : 15, op.c_str(), status);
}

class ProcessTest : public ::testing::Test {
  protected:
    TempDir dir_;
};

TEST_F(ProcessTest, TwoProcessesAddingAtOnceBothFinishCleanly) {
    // Both also race to create the keychain and its key.
    std::vector<pid_t> children;
    for (const char* id : {"1", "2"}) {
        children.push_back(
            spawnSelf("KeychainChild.Run",
                      {{kChildRole, "race"}, {kChildDir, dir_.path().string()}, {kChildId, id}}));
        ASSERT_GT(children.back(), 0);
    }
    std::vector<int> codes;
    for (const pid_t pid : children) {
        const int status = waitChild(pid);
        ASSERT_TRUE(WIFEXITED(status)) << status;
        codes.push_back(WEXITSTATUS(status));
    }
    // Exactly one wins the shared item; the other is told it exists.
    std::vector<int> sorted = codes;
    std::sort(sorted.begin(), sorted.end());
    ASSERT_EQ(sorted, (std::vector<int>{kChildDone, kChildDuplicate}));
    const std::string winner = codes[0] == kChildDone ? "1" : "2";

    const auto database = dir_ / "System.keychain";
    EXPECT_EQ(integrityCheck(database), "ok");
    EXPECT_EQ(rawSql(database, "SELECT count(*) FROM genp"), std::vector<std::string>{"21"});
    SqliteKeychainService service(childOptions(dir_.path()));
    SecKeychainRef keychain;
    ASSERT_EQ(service.SecKeychainCopyDomainDefault(kSecPreferencesDomainSystem, &keychain),
              errSecSuccess);
    SecretBytes data;
    ASSERT_EQ(service.SecKeychainFindGenericPassword(keychain, 8, "Lockstep", 6, "shared", nullptr,
                                                     &data, nullptr),
              errSecSuccess);
    EXPECT_EQ(toString(data.bytes()), "from-" + winner);
}

struct KillCase {
    const char* op;
};

class KilledChangeTest : public ProcessTest, public ::testing::WithParamInterface<KillCase> {
  protected:
    // The state every run starts from: one item ("Lockstep", "old").
    void SetUp() override {
        SqliteKeychainService service(childOptions(base()));
        SecKeychainRef keychain;
        ASSERT_EQ(service.SecKeychainCopyDomainDefault(kSecPreferencesDomainSystem, &keychain),
                  errSecSuccess);
        ASSERT_EQ(addItem(service, keychain, "Lockstep", "old", kOldSecret), errSecSuccess);
    }

    [[nodiscard]] std::filesystem::path base() const { return dir_ / "base"; }

    // What the keychain holds after the run: true for the new state, false
    // for the old; fails the test for anything else.
    bool inspect(const std::filesystem::path& dir) {
        SqliteKeychainService service(childOptions(dir));
        SecKeychainRef keychain;
        EXPECT_EQ(service.SecKeychainCopyDomainDefault(kSecPreferencesDomainSystem, &keychain),
                  errSecSuccess);
        if (!keychain) {
            return false;
        }
        EXPECT_EQ(integrityCheck(dir / "System.keychain"), "ok");
        SecretBytes old;
        SecKeychainItemRef item;
        const OSStatus oldStatus = service.SecKeychainFindGenericPassword(
            keychain, 8, "Lockstep", 3, "old", nullptr, &old, &item);
        const std::string op = GetParam().op;
        if (op == "delete") {
            if (oldStatus == errSecItemNotFound) {
                return true;
            }
            EXPECT_EQ(toString(old.bytes()), kOldSecret);
            return false;
        }
        EXPECT_EQ(oldStatus, errSecSuccess);
        EXPECT_EQ(toString(old.bytes()), kOldSecret);
        if (op == "add") {
            SecretBytes added;
            const OSStatus status = service.SecKeychainFindGenericPassword(
                keychain, 8, "Lockstep", 3, "new", nullptr, &added, nullptr);
            if (status == errSecItemNotFound) {
                return false;
            }
            EXPECT_EQ(status, errSecSuccess);
            EXPECT_EQ(toString(added.bytes()), kNewSecret);
            return true;
        }
        SecAccessRef access;
        EXPECT_EQ(service.SecKeychainItemCopyAccess(item, &access), errSecSuccess);
        if (!access) {
            return false;
        }
        EXPECT_EQ(access->acls.size(), 4U);
        return access->acls.front()->description == kChangedDescription;
    }
};

TEST_P(KilledChangeTest, LeavesTheOldOrTheNewState) {
    bool sawOld = false;
    bool sawNew = false;
    bool finished = false;
    bool sawHotJournal = false;
    for (int killAt = 1; killAt <= 40 && !finished; ++killAt) {
        const auto run = dir_ / ("run-" + std::to_string(killAt));
        std::filesystem::create_directories(run);
        for (const char* name : {"System.keychain", "System.keychain.key"}) {
            std::filesystem::copy_file(base() / name, run / name);
            std::filesystem::permissions(run / name, std::filesystem::perms(0600));
        }
        const pid_t pid = spawnSelf("KeychainChild.Run", {{kChildRole, GetParam().op},
                                                          {kChildDir, run.string()},
                                                          {kChildKillAt, std::to_string(killAt)}});
        ASSERT_GT(pid, 0);
        const int status = waitChild(pid);
        if (WIFEXITED(status)) {
            ASSERT_EQ(WEXITSTATUS(status), kChildDone) << "kill point " << killAt;
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
        const bool isNew = inspect(run);
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

INSTANTIATE_TEST_SUITE_P(Changes, KilledChangeTest,
                         ::testing::Values(KillCase{"add"}, KillCase{"delete"}, KillCase{"setacl"}),
                         [](const auto& param) { return std::string(param.param.op); });

}  // namespace
}  // namespace lockstep::testing
