#pragma once

// One keychain file: a SQLite database of generic-password items whose
// secrets are sealed with the keychain's key (kept in "<database>.key").
// Internal to the keychain service; SqliteKeychainService is the public face.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/bytes.h"
#include "platform/keychain/keychain.h"
#include "platform/status.h"

struct sqlite3;

namespace lockstep {

namespace keychain_internal {

struct SqliteCloser {
    void operator()(sqlite3* db) const noexcept;
};
using SqliteHandle = std::unique_ptr<sqlite3, SqliteCloser>;

// A stored item as read from its row. `sealed` is the encrypted secret, not
// the secret itself.
struct StoredItem {
    std::int64_t id = 0;
    Bytes service;
    std::optional<Bytes> account;
    Bytes sealed;
    Bytes acl;
    std::int64_t createdMicros = 0;
    std::int64_t modifiedMicros = 0;
};

// An item to be added. The secret is sealed inside the store.
struct NewItem {
    Bytes service;
    std::optional<Bytes> account;
    const SecretBytes* secret = nullptr;
    Bytes acl;
};

// The queries of the two lookups, exposed so a test can check their plans.
inline constexpr std::string_view kFindByServiceSql =
    "SELECT id, svce, has_acct, acct, data, acl, cdat, mdat FROM genp "
    "WHERE svce = ?1 ORDER BY id LIMIT 1";
inline constexpr std::string_view kFindByServiceAndAccountSql =
    "SELECT id, svce, has_acct, acct, data, acl, cdat, mdat FROM genp "
    "WHERE svce = ?1 AND has_acct = 1 AND acct = ?2";

// The associated data that binds a sealed secret to its item: the class,
// the service and the account, each length-prefixed.
[[nodiscard]] Bytes itemAssociatedData(const Bytes& service, const std::optional<Bytes>& account);

}  // namespace keychain_internal

// An open keychain. Shared by every reference to it and by its items; the
// database connection closes with the last reference. Operations on one
// keychain object are serialised by its mutex; other processes are kept
// apart by SQLite's file locks and each change is one IMMEDIATE transaction,
// or a savepoint inside the transaction of changeAtomically().
class SecKeychain {
  public:
    enum class OpenMode {
        // Create the database and its key when missing (for storing).
        CreateIfMissing,
        // An existing keychain, read only, with its key (for lookups).
        // Nothing is created; a missing or never finished keychain is
        // errSecNoSuchKeychain.
        ReadOnly,
        // An existing keychain, read only, without its key: listing only.
        ListOnly,
    };

    [[nodiscard]] static OSStatus open(const std::filesystem::path& path, OpenMode mode,
                                       std::shared_ptr<SecKeychain>* out);

    // The keychain at `path` for lookups: opened read only with its key, and
    // reopened for writing (created when missing) only when something is
    // stored, removed or changed in it. A keychain that does not exist yet is
    // no error: it holds no items until the first store creates it. Errors
    // are those of open().
    [[nodiscard]] static OSStatus openForLookup(const std::filesystem::path& path,
                                                std::shared_ptr<SecKeychain>* out);

  private:
    struct Private {
        explicit Private() = default;
    };

  public:
    // Only open() makes keychains; the tag keeps the constructor to it.
    SecKeychain(Private, std::filesystem::path path, OpenMode mode);

    SecKeychain(const SecKeychain&) = delete;
    SecKeychain& operator=(const SecKeychain&) = delete;
    ~SecKeychain();

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

    // The oldest item of the service (no account given), or the item of the
    // service and account. errSecItemNotFound when there is none.
    [[nodiscard]] OSStatus find(const Bytes& service, const std::optional<Bytes>& account,
                                keychain_internal::StoredItem* out);
    // The item with this row id; errSecInvalidItemRef when it is gone.
    [[nodiscard]] OSStatus read(std::int64_t id, keychain_internal::StoredItem* out);
    // Opens the item's secret; errSecDecode when it does not authenticate.
    [[nodiscard]] OSStatus openSecret(const keychain_internal::StoredItem& item,
                                      SecretBytes* secret) const;
    // Adds the items in one transaction: all or none. errSecDuplicateItem
    // when one exists already (or twice in the batch).
    [[nodiscard]] OSStatus add(const std::vector<keychain_internal::NewItem>& items,
                               std::vector<std::int64_t>* ids);
    [[nodiscard]] OSStatus remove(std::int64_t id);
    [[nodiscard]] OSStatus setAcl(std::int64_t id, const Bytes& acl);
    // Every item in the order it was added, secrets still sealed.
    [[nodiscard]] OSStatus list(std::vector<keychain_internal::StoredItem>* out);

    // Runs `change` inside one IMMEDIATE transaction, holding this object for
    // the whole of it: what `change` does through this object is committed
    // together when it gives true, and rolled back when it gives false or
    // throws. Nothing when the transaction cannot begin (`change` has not
    // run); false when the commit fails. Within a change already running,
    // `change` simply runs.
    [[nodiscard]] std::optional<bool> changeAtomically(const std::function<bool()>& change);

  private:
    // Opens the database in `mode`, replacing the connection this object
    // has; on failure the connection it had stays.
    [[nodiscard]] OSStatus connect(OpenMode mode);
    // A connection for reading: errSecNoSuchKeychain while the keychain does
    // not exist. Called with mutex_ held.
    [[nodiscard]] OSStatus readable();
    // A connection for writing, creating the keychain when missing; never for
    // a keychain opened for listing. Called with mutex_ held.
    [[nodiscard]] OSStatus writable();
    [[nodiscard]] OSStatus configure(OpenMode mode);
    [[nodiscard]] OSStatus prepareKeyAndSchema(OpenMode mode);

    std::filesystem::path path_;
    // How the keychain was asked for, and how its connection is open now.
    OpenMode requested_;
    OpenMode connected_ = OpenMode::ReadOnly;
    keychain_internal::SqliteHandle db_;
    SecretBytes key_;
    // Recursive: changeAtomically() holds it while the change's operations
    // take it again.
    std::recursive_mutex mutex_;
    bool inChange_ = false;
};

// A reference to one stored item: its keychain and its row. Row ids are never
// reused, so a reference to a deleted item cannot reach a newer one.
class SecKeychainItem {
  public:
    SecKeychainItem(SecKeychainRef keychain, std::int64_t id)
        : keychain_(std::move(keychain)), id_(id) {}

    [[nodiscard]] const SecKeychainRef& keychain() const { return keychain_; }
    [[nodiscard]] std::int64_t id() const { return id_; }

  private:
    SecKeychainRef keychain_;
    std::int64_t id_;
};

}  // namespace lockstep
