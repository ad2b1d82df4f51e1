// The SQLite keychain service on temporary folders: items, their storage on
// disk, their access lists, and keychains shared by processes.

#include "platform/keychain/sqlite_keychain.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <sstream>
#include <thread>
#include <tuple>

#include "platform/keychain/acl_codec.h"
#include "platform/plist.h"
#include "platform/process.h"
#include "platform/text.h"
#include "support/child_mode.h"
#include "support/kill_vfs.h"
#include "support/temp_dir.h"

namespace lockstep::testing {
namespace {

namespace fs = std::filesystem;

using Account = std::optional<std::string>;

// Adds a generic password through SecItemAdd; gives the status.
[[nodiscard]] OSStatus addItem(KeychainService& keychains, const SecKeychainRef& keychain,
                               const std::string& service, const Account& account,
                               const std::string& secret, SecKeychainItemRef* item = nullptr,
                               const SecAccessRef& access = nullptr) {
    CFDictionary query{{std::string(kSecClass), std::string(kSecClassGenericPassword)},
                       {std::string(kSecAttrService), service},
                       {std::string(kSecValueData), SecretBytes(toBytes(secret))},
                       {std::string(kSecReturnRef), true}};
    if (account) query.emplace(kSecAttrAccount, *account);
    if (keychain) query.emplace(kSecUseKeychain, keychain);
    if (access) query.emplace(kSecAttrAccess, access);
    SecKeychainItemRef result;
    return keychains.SecItemAdd(query, item != nullptr ? item : &result);
}

struct Found {
    OSStatus status = errSecSuccess;
    std::string secret;
    SecKeychainItemRef item;
};
// SecKeychainFindGenericPassword with UTF-8 lengths; no account: length 0.
[[nodiscard]] Found findItem(KeychainService& keychains, const SecKeychainRef& keychain,
                             const std::string& service, const Account& account = std::nullopt) {
    Found found;
    std::uint32_t length = 0;
    SecretBytes data;
    found.status = keychains.SecKeychainFindGenericPassword(
        keychain, static_cast<std::uint32_t>(service.size()), service.data(),
        account ? static_cast<std::uint32_t>(account->size()) : 0U,
        account ? account->data() : nullptr, &length, &data, &found.item);
    EXPECT_EQ(length, data.size());
    found.secret = toString(data.bytes());
    return found;
}

// Runs SQL on a keychain database through a connection of its own. Gives
// the first column of every row; fails the test on an error.
std::vector<std::string> rawSql(const fs::path& database, const std::string& sql) {
    std::vector<std::string> rows;
    sqlite3* db = nullptr;
    const int opened = sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    const std::unique_ptr<sqlite3, int (*)(sqlite3*)> owner(db, sqlite3_close_v2);
    sqlite3_busy_timeout(db, 10'000);
    const auto row = [](void* out, int, char** values, char**) {
        static_cast<std::vector<std::string>*>(out)->push_back(values[0] ? values[0] : "");
        return 0;
    };
    EXPECT_EQ(opened != SQLITE_OK ? opened : sqlite3_exec(db, sql.c_str(), row, &rows, nullptr),
              SQLITE_OK)
        << sqlite3_errmsg(db) << " in " << sql;
    return rows;
}

// Whether a file (missing: empty) holds these bytes anywhere.
[[nodiscard]] bool fileHolds(const fs::path& path, std::string_view needle) {
    return readFile(path).find(needle) != std::string::npos;
}

// A keychain service whose two domain defaults and calling program live in a
// temporary folder.
class KeychainTest : public ::testing::Test {
  protected:
    KeychainTest()
        : service_((writeFile(programPath(), "#!/bin/sh\nexit 0\n", fs::perms(0755)), options())) {}

    [[nodiscard]] SqliteKeychainOptions options() const {
        return {systemPath(), dir_ / "user/login.keychain", programPath()};
    }
    [[nodiscard]] fs::path systemPath() const { return dir_ / "sys/System.keychain"; }
    [[nodiscard]] fs::path programPath() const { return dir_ / "bin/program"; }
    [[nodiscard]] fs::path keyPath() const { return systemPath().string() + ".key"; }
    // Opens the system keychain through a fresh service, as the next run would.
    [[nodiscard]] OSStatus reopen() {
        SecKeychainRef keychain;
        return SqliteKeychainService(options()).SecKeychainCopyDomainDefault(
            kSecPreferencesDomainSystem, &keychain);
    }
    // The system keychain (a handle; the file is made by the first store).
    [[nodiscard]] SecKeychainRef systemKeychain() {
        SecKeychainRef keychain;
        EXPECT_EQ(service_.SecKeychainCopyDomainDefault(kSecPreferencesDomainSystem, &keychain), 0);
        return keychain;
    }
    auto add(auto&&... args) { return addItem(service_, args...); }
    auto find(auto&&... args) { return findItem(service_, args...); }

    TempDir dir_;
    SqliteKeychainService service_;
};

using ItemsTest = KeychainTest;

// The account attribute of an item; "<none>" when it has no account.
std::string accountOf(SqliteKeychainService& service, const SecKeychainItemRef& item) {
    SecKeychainAttributeInfo info{{kSecAccountItemAttr}, {CSSM_DB_ATTRIBUTE_FORMAT_STRING}};
    SecKeychainAttributeList attributes;
    EXPECT_EQ(service.SecKeychainItemCopyAttributesAndData(item, &info, nullptr, &attributes,
                                                           nullptr, nullptr),
              errSecSuccess);
    return attributes.size() == 1 && attributes[0].data ? toString(*attributes[0].data) : "<none>";
}

TEST_F(ItemsTest, FindsByExactAccountOrTheOldestItemOfTheService) {
    const auto keychain = systemKeychain();
    SecKeychainItemRef none;
    ASSERT_EQ(add(keychain, "Lockstep", "bob", "b") + add(keychain, "Lockstep", "alice", "a") +
                  add(keychain, "Lockstep", std::nullopt, "c", &none),
              errSecSuccess);
    EXPECT_EQ(add(keychain, "Lockstep", "alice", "second"), errSecDuplicateItem);
    EXPECT_EQ(add(keychain, "Lockstep", std::nullopt, "again"), errSecDuplicateItem);
    const Found alice = find(keychain, "Lockstep", "alice");
    EXPECT_EQ(alice.secret + accountOf(service_, alice.item), "aalice");
    const Found oldest = find(keychain, "Lockstep");
    EXPECT_EQ(accountOf(service_, oldest.item), "bob");
    EXPECT_EQ(find(keychain, "Lockstep", "carol").status, errSecItemNotFound);
    EXPECT_EQ(find(keychain, "lockstep").status, errSecItemNotFound);  // exact bytes
    // A deleted item's reference does not reach the newer item of its name.
    ASSERT_EQ(service_.SecKeychainItemDelete(oldest.item), errSecSuccess);
    EXPECT_EQ(find(keychain, "Lockstep").secret, "a");
    ASSERT_EQ(add(keychain, "Lockstep", "bob", "b2"), errSecSuccess);
    EXPECT_EQ(find(keychain, "Lockstep").secret, "a");
    EXPECT_EQ(service_.SecKeychainItemDelete(oldest.item), errSecInvalidItemRef);
    EXPECT_EQ(find(keychain, "Lockstep", "bob").secret, "b2");
    EXPECT_EQ(accountOf(service_, none), "<none>");  // the attribute without data
}

TEST_F(ItemsTest, BadAddQueriesAreRefusedAndStoreNothing) {
    const auto keychain = systemKeychain();
    // A key given a value, or (nothing) left out of the query.
    const std::tuple<std::string_view, std::optional<CFValue>, OSStatus> cases[] = {
        {kSecClass, std::nullopt, errSecParam},
        {kSecAttrService, std::string(), errSecParam},
        {kSecAttrAccount, SecretBytes(toBytes("x")), errSecParam},
        {kSecAttrAccess, std::make_shared<SecAccess>(SecAccess{{nullptr}}), errSecParam},
        {"labl", std::string("label"), errSecParam},
        {kSecValueData, SecretBytes(Bytes(2U * 1024U * 1024U, 'x')), errSecDataTooLarge}};
    for (const auto& [key, value, expected] : cases) {
        CFDictionary query{{std::string(kSecClass), std::string(kSecClassGenericPassword)},
                           {std::string(kSecAttrService), std::string("Lockstep")},
                           {std::string(kSecValueData), SecretBytes(toBytes("pw"))},
                           {std::string(kSecUseKeychain), keychain}};
        query.erase(std::string(key));
        if (value) query[std::string(key)] = *value;
        SecKeychainItemRef item;
        EXPECT_EQ(service_.SecItemAdd(query, &item), expected) << key << " " << value.has_value();
        EXPECT_EQ(item, nullptr) << key;
    }
    EXPECT_FALSE(fs::exists(systemPath().parent_path()));  // nor a keychain
}

// Lookups create nothing, not even a folder; the first store creates the
// keychain, its key and the missing folders, all private.
TEST_F(ItemsTest, LookupsCreateNothingAndTheFirstStoreCreatesPrivately) {
    const SecKeychainRef system = systemKeychain();
    EXPECT_EQ(find(nullptr, "Lockstep", "alice").status, errSecItemNotFound);
    fs::create_directory(systemPath().parent_path());
    writeFile(systemPath(), "", fs::perms(0600));  // a creation cut short is still no keychain
    EXPECT_EQ(find(system, "Lockstep").status, errSecItemNotFound);
    EXPECT_FALSE(fs::exists(dir_ / "user") || fs::exists(keyPath()));
    // No keychain given means the user's default.
    ASSERT_EQ(add(nullptr, "Lockstep", "alice", "user secret"), errSecSuccess);
    EXPECT_EQ(find(system, "Lockstep", "alice").status, errSecItemNotFound);
    ASSERT_EQ(add(system, "Lockstep", "bob", "system secret"), errSecSuccess);
    EXPECT_EQ(find(systemKeychain(), "Lockstep", "bob").secret, "system secret");
    std::uint64_t modes = 0;
    for (const fs::path& path :
         std::vector<fs::path>{systemPath(), keyPath(), dir_ / "user", dir_ / "user/login.keychain",
                               dir_ / "user/login.keychain.key"}) {
        struct stat info {};
        EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
        modes = modes * 010000 + (info.st_mode & 07777);
    }
    EXPECT_EQ(modes, 0'0600'0600'0700'0600'0600ULL) << std::oct << modes;
}

using StorageTest = KeychainTest;

TEST_F(StorageTest, SecretsAreSealedToTheirRowAndWipedOnDelete) {
    const auto keychain = systemKeychain();
    SecKeychainItemRef item;
    ASSERT_EQ(add(keychain, "Lockstep", "alice", "correct horse battery staple", &item), 0);
    EXPECT_FALSE(fileHolds(systemPath(), "correct horse"));
    // Deleting leaves no ciphertext behind in freed pages.
    const std::string sealed = rawSql(systemPath(), "SELECT lower(hex(data)) FROM genp").at(0);
    const auto onDisk = [&] {
        return fileHolds(systemPath(), toString(hexDecode(sealed).value()));
    };
    ASSERT_TRUE(onDisk());
    ASSERT_EQ(service_.SecKeychainItemDelete(item), errSecSuccess);
    EXPECT_FALSE(onDisk());
    // The ciphertext of ("Lockstep", "alice"), copied over ("Other", "alice")
    // and over ("Lockstep", "bob"), opens for neither.
    ASSERT_EQ(add(keychain, "Lockstep", "alice", "alice secret") +
                  add(keychain, "Other", "alice", "x") + add(keychain, "Lockstep", "bob", "x"),
              0);
    rawSql(systemPath(), "UPDATE genp SET data = (SELECT data FROM genp ORDER BY id LIMIT 1)");
    EXPECT_EQ(find(keychain, "Other", "alice").status, errSecDecode);
    std::uint32_t length = 99;
    SecretBytes data;
    SecKeychainItemRef none;
    EXPECT_EQ(service_.SecKeychainFindGenericPassword(keychain, 8, "Lockstep", 3, "bob", &length,
                                                      &data, &none),
              errSecDecode);
    EXPECT_TRUE(none == nullptr && length == 99U && data.empty());  // no partial result
    EXPECT_EQ(find(keychain, "Lockstep", "alice").secret, "alice secret");
}

TEST_F(StorageTest, UnsafeMisshapenOrWrongKeyFilesAreRefusedAndChangeNothing) {
    ASSERT_EQ(add(systemKeychain(), "Lockstep", "alice", "pw"), errSecSuccess);
    const std::string key = readFile(keyPath()), before = readFile(systemPath());
    std::string flipped = key;
    flipped[5] = static_cast<char>(flipped[5] ^ 0x01);
    const std::tuple<std::string, unsigned, OSStatus> cases[] = {
        {key, 0640, errSecInvalidKeychain},
        {key, 0602, errSecInvalidKeychain},
        {key.substr(1), 0600, errSecInvalidKeychain},
        {key + "x", 0600, errSecInvalidKeychain},
        {flipped, 0600, errSecAuthFailed},
        {key, 0400, errSecSuccess}};
    for (const auto& [contents, mode, expected] : cases) {
        fs::permissions(keyPath(), fs::perms(0600));
        writeFile(keyPath(), contents, fs::perms(mode));
        EXPECT_EQ(reopen(), expected) << std::oct << mode << " " << contents.size();
    }
    // A missing key is not replaced by a new one for an existing keychain.
    fs::remove(keyPath());
    EXPECT_EQ(reopen(), errSecAuthFailed);
    EXPECT_FALSE(fs::exists(keyPath()));
    // Nor is a symlink to the very key taken, or a key of another owner.
    writeFile(dir_ / "real.key", key, fs::perms(0600));
    fs::create_symlink(dir_ / "real.key", keyPath());
    EXPECT_EQ(reopen(), errSecInvalidKeychain);
    fs::remove(keyPath());
    writeFile(keyPath(), key, fs::perms(0600));
    ASSERT_EQ(::chown(keyPath().c_str(), 65534, 65534), 0);
    EXPECT_EQ(reopen(), errSecInvalidKeychain);
    EXPECT_EQ(readFile(systemPath()), before);
}

TEST_F(StorageTest, ForeignOrDamagedDatabasesAreRefusedUntouched) {
    writeFile(systemPath(), "", fs::perms(0600));
    rawSql(systemPath(), "CREATE TABLE people (name TEXT)");
    const std::string foreign = readFile(systemPath());
    EXPECT_EQ(reopen(), errSecInvalidKeychain);
    EXPECT_EQ(readFile(systemPath()), foreign);
    EXPECT_FALSE(fs::exists(keyPath()));  // no key was made for it
    fs::remove(systemPath());
    ASSERT_EQ(add(systemKeychain(), "Lockstep", "alice", "pw"), errSecSuccess);
    const std::string intact = readFile(systemPath());
    for (const std::string& damaged :
         {intact.substr(0, intact.size() - 4096), intact.substr(0, intact.size() - 100),
          intact.substr(0, 50), std::string("not a keychain\n")}) {
        writeFile(systemPath(), damaged, fs::perms(0600));
        EXPECT_EQ(reopen(), errSecInvalidKeychain) << damaged.size();
        EXPECT_EQ(readFile(systemPath()), damaged) << damaged.size();
        std::vector<KeychainItemInfo> items;
        EXPECT_NE(SqliteKeychainService::listItems(systemPath(), &items), errSecSuccess);
    }
}

TEST_F(StorageTest, ListingShowsItemsWithoutSecretsOrKey) {
    const auto before = std::chrono::system_clock::now() - std::chrono::seconds(1);
    ASSERT_EQ(add(systemKeychain(), "Lockstep", "alice", "pw1") +
                  add(systemKeychain(), "Other", std::nullopt, "pw2"),
              0);
    // Every descriptor on the database is closed on exec.
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (fs::read_symlink(entry.path(), error).parent_path() == systemPath().parent_path()) {
            EXPECT_NE(::fcntl(std::stoi(entry.path().filename()), F_GETFD) & FD_CLOEXEC, 0);
        }
    }
    // The listing needs no key and changes nothing.
    fs::remove(keyPath());
    const std::string database = readFile(systemPath());
    std::vector<KeychainItemInfo> items;
    ASSERT_EQ(SqliteKeychainService::listItems(systemPath(), &items), errSecSuccess);
    ASSERT_EQ(items.size(), 2U);
    EXPECT_EQ(toString(items[0].service) + "/" + toString(items[0].account.value()) + " " +
                  toString(items[1].service) + std::to_string(items[1].account.has_value()),
              "Lockstep/alice Other0");
    EXPECT_TRUE(items[0].created >= before && items[0].created <= items[0].modified);
    EXPECT_EQ(items[0].acls.value().size(), 4U);
    EXPECT_EQ(readFile(systemPath()), database);
    EXPECT_EQ(SqliteKeychainService::listItems(dir_ / "none", &items), errSecNoSuchKeychain);
    EXPECT_FALSE(fs::exists(dir_ / "none"));
}

using Apps = std::vector<SecTrustedApplicationRef>;

// SHA-256 of "#!/bin/sh\nexit 0\n", the calling program of the fixture.
constexpr char kProgramDigest[] =
    "306c6ca7407560340797866e077e053627ad409277d1b9da58106fce4cf717cb";
constexpr char kUseTags[] =
    "ACLAuthorizationDecrypt,ACLAuthorizationDerive,ACLAuthorizationExportClear,"
    "ACLAuthorizationExportWrapped,ACLAuthorizationMAC,ACLAuthorizationSign,";

// A readable picture of an ACL list, for whole-list comparisons.
std::string describe(const std::vector<SecACLRef>& acls, std::size_t count = 3) {
    std::ostringstream out;
    for (std::size_t i = 0; i < count && i < acls.size(); ++i) {
        out << "[";
        for (const auto& tag : acls[i]->authorizations) out << tag << ",";
        out << "] apps=" << (acls[i]->applications ? "" : "any");
        for (const auto& app : acls[i]->applications.value_or(Apps{})) {
            out << "(" << app->path << " " << hexEncode(app->digest) << ")";
        }
        out << " desc=" << hexEncode(toBytes(acls[i]->description))
            << " prompt=" << acls[i]->promptSelector << "\n";
    }
    return out.str();
}

class AccessTest : public KeychainTest {
  protected:
    // The three ACLs SecAccessCreate makes, with the descriptor in hex.
    [[nodiscard]] std::string defaultAcls(const std::string& desc, std::string apps = "") const {
        const std::string tail = " desc=" + desc + " prompt=0\n";
        const std::string self = "(" + programPath().string() + " " + kProgramDigest + ")";
        return "[ACLAuthorizationEncrypt,] apps=any" + tail + "[" + kUseTags +
               "] apps=" + (apps.empty() ? self : apps) + tail +
               "[ACLAuthorizationChangeACL,] apps=" + self + tail;
    }
};

TEST_F(AccessTest, DefaultAccessAndTrustedApplicationsFromPaths) {
    SecAccessRef access;
    SecKeychainItemRef item;
    ASSERT_EQ(add(systemKeychain(), "Other", std::nullopt, "pw", &item), errSecSuccess);
    ASSERT_EQ(service_.SecKeychainItemCopyAccess(item, &access), errSecSuccess);
    EXPECT_EQ(describe(access->acls), defaultAcls("4f74686572"));  // named after the service
    // A trusted list takes the calling program's place in the decrypt ACL only.
    SecTrustedApplicationRef folder;
    ASSERT_EQ(service_.SecTrustedApplicationCreateFromPath(dir_.path().c_str(), &folder),
              errSecSuccess);
    ASSERT_EQ(service_.SecAccessCreate("d", std::vector{folder}, &access), errSecSuccess);
    EXPECT_EQ(describe(access->acls), defaultAcls("64", "(" + dir_.path().string() + " )"));
    // Refused: a missing path, a path below a file, a FIFO (must not block the open).
    ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
    for (const auto& path : {dir_ / "missing", programPath() / "below", dir_ / "fifo"}) {
        EXPECT_EQ(service_.SecTrustedApplicationCreateFromPath(path.c_str(), &folder), errSecParam)
            << path;
    }
}

TEST_F(AccessTest, ChangedAccessRoundTripsExactly) {
    SecAccessRef access;
    ASSERT_EQ(service_.SecAccessCreate("alice", std::nullopt, &access), errSecSuccess);
    // Through the ACL list, which holds the access object's own entries.
    std::optional<std::vector<SecACLRef>> acls;
    ASSERT_EQ(service_.SecAccessCopyACLList(access, &acls), errSecSuccess);
    ASSERT_EQ(service_.SecACLCopyAuthorizations(acls->at(1)).front(), kACLAuthorizationDecrypt);
    ASSERT_EQ(service_.SecACLSetContents(acls->at(1), Apps{}, "", 0), errSecSuccess);
    const std::string given = describe(access->acls);
    SecKeychainItemRef item;
    ASSERT_EQ(add(systemKeychain(), "Lockstep", "alice", "pw", &item, access), errSecSuccess);
    // Stored: the given ACLs, then the creating program's partition; each copy is one of its own.
    SecAccessRef stored, other;
    ASSERT_EQ(service_.SecKeychainItemCopyAccess(item, &stored) +
                  service_.SecKeychainItemCopyAccess(item, &other),
              errSecSuccess);
    EXPECT_EQ(describe(stored->acls), given);
    const std::string original = describe(other->acls, 4);
    ASSERT_EQ(service_.SecACLSetContents(stored->acls.at(3), std::nullopt,
                                         std::string("partition \xFF\x00\x01", 13), 0x1234),
              errSecSuccess);
    EXPECT_EQ(describe(other->acls, 4), original);
    // These keychains have no password of their own: any one authorises the change.
    EXPECT_EQ(service_.SecKeychainItemSetAccessWithPassword(item, stored, 5, nullptr), errSecParam);
    ASSERT_EQ(service_.SecKeychainItemSetAccessWithPassword(item, stored, 5, "hello"),
              errSecSuccess);
    SecAccessRef reread;
    ASSERT_EQ(service_.SecKeychainItemCopyAccess(item, &reread), errSecSuccess);
    EXPECT_EQ(describe(reread->acls, 4), describe(stored->acls, 4));
    EXPECT_NE(describe(reread->acls, 4), original);
}

TEST_F(AccessTest, DamagedStoredAclGivesCleanStatus) {
    const auto keychain = systemKeychain();
    SecKeychainItemRef item;
    ASSERT_EQ(add(keychain, "Lockstep", "alice", "pw", &item), errSecSuccess);
    // Property lists of the wrong shape or kind, and bytes that are none at all.
    for (const char* blob : {"x'00'", "CAST('<plist><dict/></plist>' AS BLOB)"}) {
        rawSql(systemPath(), std::string("UPDATE genp SET acl = ") + blob);
        SecAccessRef access;
        EXPECT_EQ(service_.SecKeychainItemCopyAccess(item, &access), errSecDecode) << blob;
        EXPECT_EQ(find(keychain, "Lockstep", "alice").secret, "pw");  // the secret is still there
    }
    std::vector<KeychainItemInfo> items;
    ASSERT_EQ(SqliteKeychainService::listItems(systemPath(), &items), errSecSuccess);
    EXPECT_TRUE(items.size() == 1U && !items[0].acls.has_value());
}

TEST(AclCodec, RefusesMalformedForms) {
    const auto good = keychain_internal::encodeAclList(
        {std::make_shared<SecACL>(SecACL{{"A"}, std::nullopt, "d", 1})});
    ASSERT_TRUE(good && keychain_internal::decodeAclList(*good));
    // Every truncation of a valid form is refused without a crash.
    for (std::size_t length = 0; length < good->size(); ++length) {
        const Bytes cut(good->begin(), good->begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_FALSE(keychain_internal::decodeAclList(cut).has_value()) << length;
    }
    // A prompt selector beyond 16 bits.
    auto parsed = parsePlist(*good);
    ASSERT_TRUE(parsed.has_value());
    plist_t entry = plist_array_get_item(plist_dict_get_item(parsed->root.get(), "ACLs"), 0);
    plist_dict_set_item(entry, "PromptSelector", plist_new_uint(70000));
    EXPECT_FALSE(keychain_internal::decodeAclList(
        serializePlist(parsed->root.get(), PlistFormat::Binary).value()));
}

// Keychains shared by processes: two processes changing one keychain at
// once, and a process killed in the middle of a change. The child side runs
// in this same test program, started again with its order in the
// environment (see support/child_mode.h).

// "<op> <folder> <argument>": op is "race" (argument: the child's id) or the
// change to cut ("add", "delete", "setacl"; argument: the kill point).
constexpr char kOrder[] = "LOCKSTEP_KEYCHAIN_TEST_CHILD";
constexpr char kOldSecret[] = "old secret 7f3a";
// Long enough to need pages of its own, so that adding it grows the file.
const std::string kNewSecret = std::string("new secret 91c4 ").append(9000, 'n');
constexpr char kChangedDescription[] = "changed description";
constexpr int kDuplicate = 1;  // exit code of a racing child that lost the shared item

// The System keychain in a folder, through a service of its own; the folder
// doubles as the calling program (trusted by path, nothing to hash).
struct Keychain {
    explicit Keychain(const fs::path& dir)
        : service({dir / "System.keychain", dir / "login.keychain", dir}),
          opened(service.SecKeychainCopyDomainDefault(kSecPreferencesDomainSystem, &keychain)) {}
    OSStatus add(auto&&... args) { return addItem(service, keychain, args...); }
    Found find(const std::string& a) { return findItem(service, keychain, "Lockstep", a); }

    SqliteKeychainService service;
    SecKeychainRef keychain;
    OSStatus opened;
};

// The child of the tests below: exits 10 + the step that failed.
int runKeychainChild(const char* order) {
    std::string op, dir, argument;
    std::istringstream(order) >> op >> dir >> argument;
    if (op != "race") kill_vfs::install();
    Keychain opened(dir);
    const auto check = [](OSStatus status, int step) {
        if (status != errSecSuccess) std::_Exit(10 + step);
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
    const auto self = fs::read_symlink("/proc/self/exe").string();
    Process child =
        spawnProcess({"/usr/bin/env", {std::string(kOrder) + "=" + order, self}}).process.value();
    return child.wait().value();
}

TEST(KeychainProcessTest, TwoProcessesAddingAtOnceBothFinishCleanly) {
    const TempDir dir;
    // Both also race to create the keychain and its key; exactly one wins the shared item.
    ExitStatus second;
    std::thread racing([&] { second = runChild("race " + dir.path().string() + " 2"); });
    const ExitStatus first = runChild("race " + dir.path().string() + " 1");
    racing.join();
    ASSERT_TRUE(first.exited && second.exited);
    ASSERT_EQ(first.code + second.code, kDuplicate) << first.code << " " << second.code;
    EXPECT_EQ(rawSql(dir / "System.keychain", "PRAGMA integrity_check; SELECT count(*) FROM genp"),
              (std::vector<std::string>{"ok", "21"}));
    EXPECT_EQ(Keychain(dir.path()).find("shared").secret, first.code == 0 ? "from-1" : "from-2");
}

// What the keychain in `dir` holds after a run: true for the new state,
// false for the old; fails the test for anything else.
bool holdsNewState(const fs::path& dir, const std::string& op) {
    // The keychain opens first: it must take a hot journal left by the cut
    // as SQLite does, even beside a file shorter than its header says.
    Keychain opened(dir);
    const Found old = opened.find("old");
    EXPECT_EQ(rawSql(dir / "System.keychain", "PRAGMA integrity_check"),
              std::vector<std::string>{"ok"});
    if (op == "delete" && old.status == errSecItemNotFound) return true;
    EXPECT_EQ(old.secret, kOldSecret);
    const Found added = opened.find("new");
    EXPECT_TRUE(added.status == errSecItemNotFound || added.secret == kNewSecret);
    SecAccessRef access;
    if (op != "setacl") return added.status == errSecSuccess;
    EXPECT_EQ(opened.service.SecKeychainItemCopyAccess(old.item, &access), errSecSuccess);
    return access && access->acls.front()->description == kChangedDescription;
}

class KilledChangeTest : public ::testing::TestWithParam<const char*> {};

TEST_P(KilledChangeTest, LeavesTheOldOrTheNewState) {
    const TempDir dir;
    const auto base = dir / "base";
    fs::create_directories(base);
    ASSERT_EQ(Keychain(base).add("Lockstep", "old", kOldSecret), errSecSuccess);
    bool sawOld = false, sawNew = false, finished = false, sawHotJournal = false;
    for (int killAt = 1; killAt <= 40 && !finished; ++killAt) {
        const auto run = dir / ("run-" + std::to_string(killAt));
        fs::copy(base, run);
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
        fs::remove_all(run);
    }
    EXPECT_TRUE(finished && sawOld && sawNew && sawHotJournal);
}

INSTANTIATE_TEST_SUITE_P(Changes, KilledChangeTest, ::testing::Values("add", "delete", "setacl"),
                         [](const auto& param) { return std::string(param.param); });

}  // namespace
}  // namespace lockstep::testing
