#include "platform/keychain/keychain_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>
#include <string>

#include "platform/keychain/keychain_crypto.h"
#include "platform/scoped_fd.h"

namespace lockstep {

namespace keychain_internal {

void SqliteCloser::operator()(sqlite3* db) const noexcept {
    if (db != nullptr) {
        sqlite3_close_v2(db);
    }
}

namespace {

// How long a change waits for another process's transaction before it gives
// up with errSecIO.
constexpr int kBusyTimeoutMs = 10'000;
constexpr std::int64_t kFormatVersion = 1;

constexpr std::string_view kSchemaSql =
    "CREATE TABLE meta ("
    "  name TEXT PRIMARY KEY NOT NULL,"
    "  value BLOB NOT NULL);"
    // AUTOINCREMENT: a row id is never handed out twice, so an item reference
    // whose item was deleted cannot reach an item added later.
    "CREATE TABLE genp ("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  svce BLOB NOT NULL,"
    "  has_acct INTEGER NOT NULL CHECK (has_acct IN (0, 1)),"
    "  acct BLOB NOT NULL,"
    "  data BLOB NOT NULL,"
    "  acl BLOB NOT NULL,"
    "  cdat INTEGER NOT NULL,"
    "  mdat INTEGER NOT NULL);"
    // One item per service and account (an absent account is its own key).
    "CREATE UNIQUE INDEX genp_identity ON genp (svce, has_acct, acct);"
    // Every index ends in the row id, so this one also gives the oldest item
    // of a service without a sort.
    "CREATE INDEX genp_service ON genp (svce);";

// The check value: a known text sealed with the key when the keychain is
// made. Opening it again proves the key file belongs to the database.
constexpr std::string_view kCheckText = "lockstep keychain check value";
constexpr std::string_view kCheckAad = "lockstep.keychain.check.v1";
constexpr std::string_view kItemAadTag = "lockstep.keychain.item.v1";
constexpr std::string_view kItemClass = "genp";

constexpr std::string_view kSelectColumns =
    "SELECT id, svce, has_acct, acct, data, acl, cdat, mdat FROM genp ";

OSStatus statusFromSqlite(int rc) {
    switch (rc & 0xFF) {
        case SQLITE_OK:
        case SQLITE_ROW:
        case SQLITE_DONE:
            return errSecSuccess;
        case SQLITE_NOTADB:
        case SQLITE_CORRUPT:
        case SQLITE_FORMAT:
        case SQLITE_SCHEMA:
        case SQLITE_MISMATCH:
        // A statement of ours that does not fit the database: not our schema.
        case SQLITE_ERROR:
            return errSecInvalidKeychain;
        case SQLITE_CONSTRAINT:
            return rc == SQLITE_CONSTRAINT_UNIQUE || rc == SQLITE_CONSTRAINT_PRIMARYKEY
                       ? errSecDuplicateItem
                       : errSecInvalidKeychain;
        case SQLITE_FULL:
            return errSecDiskFull;
        case SQLITE_READONLY:
            return errSecReadOnly;
        case SQLITE_NOMEM:
            return errSecAllocate;
        case SQLITE_TOOBIG:
            return errSecDataTooLarge;
        default:
            // I/O errors, a lock still held after the busy timeout, a file
            // that cannot be opened.
            return errSecIO;
    }
}

std::int64_t nowMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void appendLength(Bytes& out, std::size_t length) {
    const auto value = static_cast<std::uint32_t>(length);
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(value >> static_cast<unsigned>(shift)));
    }
}

void appendField(Bytes& out, const std::uint8_t* data, std::size_t length) {
    appendLength(out, length);
    out.insert(out.end(), data, data + length);
}

void appendField(Bytes& out, std::string_view text) {
    appendField(out, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

struct StatementDeleter {
    void operator()(sqlite3_stmt* statement) const noexcept { sqlite3_finalize(statement); }
};

// One prepared statement. Finalising it on every path also releases the
// read lock a stepped SELECT holds, so another process is never kept waiting.
class Statement {
  public:
    [[nodiscard]] int prepare(sqlite3* db, std::string_view sql) {
        sqlite3_stmt* raw = nullptr;
        const int rc =
            sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &raw, nullptr);
        statement_.reset(raw);
        return rc;
    }

    // The bytes must outlive the statement (they are not copied).
    [[nodiscard]] int bind(int index, const Bytes& bytes) {
        if (bytes.empty()) {
            return sqlite3_bind_zeroblob(statement_.get(), index, 0);
        }
        return sqlite3_bind_blob(statement_.get(), index, bytes.data(),
                                 static_cast<int>(bytes.size()), nullptr);
    }
    [[nodiscard]] int bind(int index, std::string_view text) {
        return sqlite3_bind_text(statement_.get(), index, text.data(),
                                 static_cast<int>(text.size()), nullptr);
    }
    [[nodiscard]] int bind(int index, std::int64_t value) {
        return sqlite3_bind_int64(statement_.get(), index, value);
    }

    [[nodiscard]] int step() { return sqlite3_step(statement_.get()); }
    int reset() { return sqlite3_reset(statement_.get()); }

    [[nodiscard]] Bytes blob(int column) const {
        const auto* data =
            static_cast<const std::uint8_t*>(sqlite3_column_blob(statement_.get(), column));
        const int length = sqlite3_column_bytes(statement_.get(), column);
        if (data == nullptr || length <= 0) {
            return {};
        }
        return Bytes(data, data + length);
    }
    [[nodiscard]] std::int64_t integer(int column) const {
        return sqlite3_column_int64(statement_.get(), column);
    }
    [[nodiscard]] std::string text(int column) const {
        const auto* data = sqlite3_column_text(statement_.get(), column);
        const int length = sqlite3_column_bytes(statement_.get(), column);
        if (data == nullptr || length <= 0) {
            return {};
        }
        return std::string(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
    }

  private:
    std::unique_ptr<sqlite3_stmt, StatementDeleter> statement_;
};

int exec(sqlite3* db, std::string_view sql) {
    const std::string text(sql);
    return sqlite3_exec(db, text.c_str(), nullptr, nullptr, nullptr);
}

// BEGIN IMMEDIATE takes the write lock up front (waiting up to the busy
// timeout), so a change never fails half way for lack of it. Nested in a
// transaction that is already open (one of several operations of one change),
// it is a savepoint instead, so that one failed operation is undone alone.
// Rolls back on destruction unless committed.
class Transaction {
  public:
    Transaction(sqlite3* db, bool nested) : db_(db), nested_(nested) {}
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    ~Transaction() {
        // Nothing open any more: committed, never begun, or ended by SQLite
        // itself after an error (which rolls back the whole transaction).
        if (done_ || sqlite3_get_autocommit(db_) != 0) {
            return;
        }
        if (nested_) {
            static_cast<void>(exec(db_, "ROLLBACK TO operation; RELEASE operation"));
        } else {
            static_cast<void>(exec(db_, "ROLLBACK"));
        }
    }

    [[nodiscard]] int begin() {
        if (!nested_) {
            return exec(db_, "BEGIN IMMEDIATE");
        }
        // The enclosing transaction is gone when SQLite ended it after an
        // error; the operation must not then run on its own.
        if (sqlite3_get_autocommit(db_) != 0) {
            return SQLITE_ABORT;
        }
        return exec(db_, "SAVEPOINT operation");
    }
    [[nodiscard]] int commit() {
        const int rc = exec(db_, nested_ ? "RELEASE operation" : "COMMIT");
        done_ = rc == SQLITE_OK;
        return rc;
    }

  private:
    sqlite3* db_;
    bool nested_;
    bool done_ = false;
};

// Runs one statement that changes the row `id` (bound as ?1; `bindRest`
// binds any other parameters) in a transaction of its own, or a savepoint
// inside a running change. errSecInvalidItemRef when no row has that id.
OSStatus changeRow(sqlite3* db, bool nested, std::string_view sql, std::int64_t id,
                   const std::function<int(Statement&)>& bindRest) {
    Transaction transaction(db, nested);
    int rc = transaction.begin();
    Statement statement;
    if (rc == SQLITE_OK) {
        rc = statement.prepare(db, sql);
    }
    if (rc == SQLITE_OK) {
        rc = statement.bind(1, id);
    }
    if (rc == SQLITE_OK) {
        rc = bindRest(statement);
    }
    if (rc == SQLITE_OK) {
        rc = statement.step();
    }
    if (rc != SQLITE_DONE) {
        return statusFromSqlite(rc);
    }
    if (sqlite3_changes(db) == 0) {
        return errSecInvalidItemRef;
    }
    rc = transaction.commit();
    return statusFromSqlite(rc);
}

StoredItem readRow(const Statement& statement) {
    StoredItem item;
    item.id = statement.integer(0);
    item.service = statement.blob(1);
    if (statement.integer(2) != 0) {
        item.account = statement.blob(3);
    }
    item.sealed = statement.blob(4);
    item.acl = statement.blob(5);
    item.createdMicros = statement.integer(6);
    item.modifiedMicros = statement.integer(7);
    return item;
}

// Steps a prepared lookup and reads its first row; `none` when it has none.
OSStatus readFirstRow(Statement& statement, OSStatus none, StoredItem* out) {
    const int rc = statement.step();
    if (rc == SQLITE_DONE) {
        return none;
    }
    if (rc != SQLITE_ROW) {
        return statusFromSqlite(rc);
    }
    *out = readRow(statement);
    return errSecSuccess;
}

std::uint32_t bigEndian32(const std::uint8_t* p) {
    return (static_cast<std::uint32_t>(p[0]) << 24U) | (static_cast<std::uint32_t>(p[1]) << 16U) |
           (static_cast<std::uint32_t>(p[2]) << 8U) | static_cast<std::uint32_t>(p[3]);
}

// Looks at the database header before SQLite does. A non-empty file that is
// not a SQLite database, or that is shorter than its header says (a truncated
// copy), is refused here, before anything could be written to it. An empty
// file is a keychain whose creation was cut short: it is made anew.
OSStatus checkDatabaseHeader(int fd, const struct stat& info, const std::filesystem::path& path) {
    if (info.st_size == 0) {
        return errSecSuccess;
    }
    std::array<std::uint8_t, 100> header{};
    std::size_t done = 0;
    while (done < header.size()) {
        const ssize_t n =
            ::pread(fd, header.data() + done, header.size() - done, static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return statusFromErrno(errno);
        }
        if (n == 0) {
            return errSecInvalidKeychain;
        }
        done += static_cast<std::size_t>(n);
    }
    static constexpr char kMagic[] = "SQLite format 3";  // with its NUL: 16 bytes
    if (std::memcmp(header.data(), kMagic, sizeof(kMagic)) != 0) {
        return errSecInvalidKeychain;
    }
    std::uint32_t pageSize = (static_cast<std::uint32_t>(header[16]) << 8U) | header[17];
    if (pageSize == 1) {
        pageSize = 65536;
    }
    if (pageSize < 512 || pageSize > 65536 || (pageSize & (pageSize - 1)) != 0) {
        return errSecInvalidKeychain;
    }
    // A hot journal may legitimately describe a longer file; SQLite rolls
    // it back on the first read.
    struct stat journal {};
    const std::string journalPath = path.string() + "-journal";
    if (::stat(journalPath.c_str(), &journal) == 0 && journal.st_size > 0) {
        return errSecSuccess;
    }
    const std::uint32_t changeCounter = bigEndian32(header.data() + 24);
    const std::uint32_t pages = bigEndian32(header.data() + 28);
    const std::uint32_t validFor = bigEndian32(header.data() + 92);
    if (pages != 0 && changeCounter == validFor &&
        static_cast<std::uint64_t>(info.st_size) < static_cast<std::uint64_t>(pages) * pageSize) {
        return errSecInvalidKeychain;
    }
    return errSecSuccess;
}

// Creates the missing folders of a keychain path, each 0700.
OSStatus ensureFolder(const std::filesystem::path& folder) {
    if (folder.empty()) {
        return errSecSuccess;
    }
    struct stat info {};
    if (::stat(folder.c_str(), &info) == 0) {
        return S_ISDIR(info.st_mode) ? errSecSuccess : errSecNoSuchKeychain;
    }
    if (errno != ENOENT) {
        return statusFromErrno(errno);
    }
    if (folder.has_parent_path() && folder.parent_path() != folder) {
        if (const OSStatus status = ensureFolder(folder.parent_path()); status != errSecSuccess) {
            return status;
        }
    }
    if (::mkdir(folder.c_str(), S_IRWXU) != 0 && errno != EEXIST) {
        return errno == ENOENT ? errSecNoSuchKeychain : statusFromErrno(errno);
    }
    syncFolder(folder.parent_path());
    return errSecSuccess;
}

// Opens (or, when allowed, creates with mode 0600) the database file itself
// and checks it, before SQLite is given the path. Opened without blocking, so
// a FIFO planted at the path is refused rather than waited on. For a lookup,
// an empty file (a creation cut short) is a keychain that does not exist yet.
OSStatus prepareDatabaseFile(const std::filesystem::path& path, SecKeychain::OpenMode mode) {
    const bool mayCreate = mode == SecKeychain::OpenMode::CreateIfMissing;
    if (mayCreate) {
        if (const OSStatus status = ensureFolder(path.parent_path()); status != errSecSuccess) {
            return status;
        }
    }
    constexpr int kCommon = O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK;
    bool created = false;
    ScopedFD fd;
    if (mayCreate) {
        fd.reset(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | kCommon, S_IRUSR | S_IWUSR));
        created = fd.valid();
        if (created) {
            // The creation mode went through the umask; make it exactly 0600.
            static_cast<void>(::fchmod(fd.get(), S_IRUSR | S_IWUSR));
        }
    }
    if (!fd) {
        if (mayCreate && errno != EEXIST) {
            return errno == ELOOP ? errSecInvalidKeychain : statusFromErrno(errno);
        }
        fd.reset(::open(path.c_str(), (mayCreate ? O_RDWR : O_RDONLY) | kCommon));
    }
    if (!fd) {
        switch (errno) {
            case ENOENT:
                return errSecNoSuchKeychain;
            case ELOOP:
                return errSecInvalidKeychain;
            default:
                return statusFromErrno(errno);
        }
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        return statusFromErrno(errno);
    }
    if (!S_ISREG(info.st_mode)) {
        return errSecInvalidKeychain;
    }
    if (created) {
        syncFolder(path.parent_path());
    }
    if (mode == SecKeychain::OpenMode::ReadOnly && info.st_size == 0) {
        return errSecNoSuchKeychain;
    }
    return checkDatabaseHeader(fd.get(), info, path);
}

// Whether a writer killed in a commit left a journal to roll back. Only a
// connection that may write can roll it back; a read-only one cannot read on.
bool hasJournal(const std::filesystem::path& path) {
    struct stat journal {};
    const std::string journalPath = path.string() + "-journal";
    return ::stat(journalPath.c_str(), &journal) == 0 && journal.st_size > 0;
}

std::set<std::string> tableNames(sqlite3* db, int* rc) {
    std::set<std::string> names;
    Statement statement;
    *rc = statement.prepare(db, "SELECT name FROM sqlite_schema WHERE type = 'table'");
    if (*rc != SQLITE_OK) {
        return names;
    }
    while ((*rc = statement.step()) == SQLITE_ROW) {
        names.insert(statement.text(0));
    }
    if (*rc == SQLITE_DONE) {
        *rc = SQLITE_OK;
    }
    return names;
}

bool hasKeychainTables(const std::set<std::string>& names) {
    return names.count("meta") != 0 && names.count("genp") != 0;
}

}  // namespace

Bytes itemAssociatedData(const Bytes& service, const std::optional<Bytes>& account) {
    Bytes aad;
    aad.reserve(kItemAadTag.size() + kItemClass.size() + service.size() +
                (account ? account->size() : 0) + 20);
    appendField(aad, kItemAadTag);
    appendField(aad, kItemClass);
    appendField(aad, service.data(), service.size());
    aad.push_back(account ? 1 : 0);
    if (account) {
        appendField(aad, account->data(), account->size());
    }
    return aad;
}

}  // namespace keychain_internal

using keychain_internal::NewItem;
using keychain_internal::StoredItem;

SecKeychain::SecKeychain(Private, std::filesystem::path path, OpenMode mode)
    : path_(std::move(path)), requested_(mode) {}

SecKeychain::~SecKeychain() = default;

OSStatus SecKeychain::open(const std::filesystem::path& path, OpenMode mode,
                           std::shared_ptr<SecKeychain>* out) {
    if (path.empty() || out == nullptr) {
        return errSecParam;
    }
    auto keychain = std::make_shared<SecKeychain>(Private{}, path, mode);
    if (const OSStatus status = keychain->connect(mode); status != errSecSuccess) {
        return status;
    }
    *out = std::move(keychain);
    return errSecSuccess;
}

OSStatus SecKeychain::openForLookup(const std::filesystem::path& path,
                                    std::shared_ptr<SecKeychain>* out) {
    if (path.empty() || out == nullptr) {
        return errSecParam;
    }
    auto keychain = std::make_shared<SecKeychain>(Private{}, path, OpenMode::ReadOnly);
    if (const OSStatus status = keychain->connect(OpenMode::ReadOnly);
        status != errSecSuccess && status != errSecNoSuchKeychain) {
        return status;
    }
    *out = std::move(keychain);
    return errSecSuccess;
}

OSStatus SecKeychain::connect(OpenMode mode) {
    if (const OSStatus status = keychain_internal::prepareDatabaseFile(path_, mode);
        status != errSecSuccess) {
        return status;
    }
    // SQLite opens its files close-on-exec; NOFOLLOW refuses a symlink
    // planted between the check above and this open. A lookup asks for no
    // write access, unless a killed writer's journal must be rolled back
    // first (on a read-only file system SQLite then stays read only).
    const bool write = mode == OpenMode::CreateIfMissing ||
                       (mode == OpenMode::ReadOnly && keychain_internal::hasJournal(path_));
    const int flags = (write ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) |
                      SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_FULLMUTEX;
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(path_.c_str(), &raw, flags, nullptr);
    keychain_internal::SqliteHandle db(raw);
    if (rc != SQLITE_OK) {
        return db == nullptr ? errSecAllocate : keychain_internal::statusFromSqlite(rc);
    }
    // The new connection replaces the old one only when it is ready.
    keychain_internal::SqliteHandle previous = std::exchange(db_, std::move(db));
    SecretBytes previousKey = std::move(key_);
    key_ = SecretBytes();
    OSStatus status = configure(mode);
    if (status == errSecSuccess) {
        status = prepareKeyAndSchema(mode);
    }
    if (status != errSecSuccess) {
        db_ = std::move(previous);
        key_ = std::move(previousKey);
        return status;
    }
    connected_ = mode;
    return errSecSuccess;
}

OSStatus SecKeychain::readable() {
    if (db_) {
        return errSecSuccess;
    }
    return connect(requested_ == OpenMode::ListOnly ? OpenMode::ListOnly : OpenMode::ReadOnly);
}

OSStatus SecKeychain::writable() {
    if (requested_ == OpenMode::ListOnly) {
        return errSecReadOnly;
    }
    if (db_ && connected_ == OpenMode::CreateIfMissing) {
        return errSecSuccess;
    }
    return connect(OpenMode::CreateIfMissing);
}

OSStatus SecKeychain::configure(OpenMode mode) {
    using keychain_internal::exec;
    using keychain_internal::statusFromSqlite;
    sqlite3* db = db_.get();
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, keychain_internal::kBusyTimeoutMs);
    // No schema tricks through this connection, and no functions run from
    // the schema of a file that may have been tampered with.
    sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, static_cast<int*>(nullptr));
    sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, static_cast<int*>(nullptr));
    if (const int rc = exec(db, "PRAGMA cell_size_check = ON"); rc != SQLITE_OK) {
        return statusFromSqlite(rc);
    }
    if (mode != OpenMode::CreateIfMissing) {
        return statusFromSqlite(exec(db, "PRAGMA query_only = ON"));
    }
    // secure_delete: freed pages are zeroed, so a deleted item leaves no
    // ciphertext behind. synchronous=FULL: a commit is on disk when it
    // returns. The rollback journal (DELETE mode) keeps the keychain one file
    // at rest with no shared-memory file; a process killed mid-commit leaves
    // a hot journal that the next opener rolls back, giving the old state.
    if (const int rc = exec(db, "PRAGMA secure_delete = ON; PRAGMA synchronous = FULL");
        rc != SQLITE_OK) {
        return statusFromSqlite(rc);
    }
    keychain_internal::Statement journal;
    int rc = journal.prepare(db, "PRAGMA journal_mode = DELETE");
    if (rc == SQLITE_OK) {
        rc = journal.step();
    }
    if (rc != SQLITE_ROW) {
        return statusFromSqlite(rc);
    }
    return journal.text(0) == "delete" ? errSecSuccess : errSecInvalidKeychain;
}

OSStatus SecKeychain::prepareKeyAndSchema(OpenMode mode) {
    using keychain_internal::statusFromSqlite;
    sqlite3* db = db_.get();
    int rc = SQLITE_OK;
    const std::set<std::string> tables = keychain_internal::tableNames(db, &rc);
    if (rc != SQLITE_OK) {
        return statusFromSqlite(rc);
    }
    if (tables.empty() && mode == OpenMode::ReadOnly) {
        // Made but never finished: to a lookup it does not exist yet.
        return errSecNoSuchKeychain;
    }
    if (!tables.empty() || mode == OpenMode::ListOnly) {
        if (!keychain_internal::hasKeychainTables(tables)) {
            return errSecInvalidKeychain;
        }
    }
    // Only a database without tables may get a new key: an existing one
    // without its key stays unreadable rather than being re-keyed.
    const std::filesystem::path keyPath = path_.string() + ".key";
    if (mode != OpenMode::ListOnly) {
        OSStatus status = keychain_internal::readKeyFile(keyPath, &key_);
        if (status == errSecItemNotFound && tables.empty() && mode == OpenMode::CreateIfMissing) {
            status = keychain_internal::createKeyFile(keyPath);
            if (status == errSecSuccess) {
                status = keychain_internal::readKeyFile(keyPath, &key_);
            }
        }
        if (status == errSecItemNotFound) {
            return errSecAuthFailed;
        }
        if (status != errSecSuccess) {
            return status;
        }
    }

    if (tables.empty()) {
        keychain_internal::Transaction transaction(db, false);
        if (rc = transaction.begin(); rc != SQLITE_OK) {
            return statusFromSqlite(rc);
        }
        // Another process may have made the keychain while this one waited.
        const std::set<std::string> now = keychain_internal::tableNames(db, &rc);
        if (rc != SQLITE_OK) {
            return statusFromSqlite(rc);
        }
        if (now.empty()) {
            const auto check = keychain_internal::seal(
                key_, reinterpret_cast<const std::uint8_t*>(keychain_internal::kCheckText.data()),
                keychain_internal::kCheckText.size(), toBytes(keychain_internal::kCheckAad));
            if (!check) {
                return errSecInternalComponent;
            }
            if (rc = keychain_internal::exec(db, keychain_internal::kSchemaSql); rc != SQLITE_OK) {
                return statusFromSqlite(rc);
            }
            keychain_internal::Statement insert;
            rc = insert.prepare(db,
                                "INSERT INTO meta (name, value) VALUES ('format', ?1), "
                                "('check', ?2)");
            if (rc == SQLITE_OK) {
                rc = insert.bind(1, keychain_internal::kFormatVersion);
            }
            if (rc == SQLITE_OK) {
                rc = insert.bind(2, *check);
            }
            if (rc == SQLITE_OK) {
                rc = insert.step();
            }
            if (rc != SQLITE_DONE) {
                return statusFromSqlite(rc);
            }
        } else if (!keychain_internal::hasKeychainTables(now)) {
            return errSecInvalidKeychain;
        }
        if (rc = transaction.commit(); rc != SQLITE_OK) {
            return statusFromSqlite(rc);
        }
    }

    keychain_internal::Statement meta;
    rc = meta.prepare(db, "SELECT name, value FROM meta WHERE name IN ('format', 'check')");
    if (rc != SQLITE_OK) {
        return statusFromSqlite(rc);
    }
    std::optional<std::int64_t> format;
    std::optional<Bytes> check;
    while ((rc = meta.step()) == SQLITE_ROW) {
        if (meta.text(0) == "format") {
            format = meta.integer(1);
        } else {
            check = meta.blob(1);
        }
    }
    if (rc != SQLITE_DONE) {
        return statusFromSqlite(rc);
    }
    if (format != keychain_internal::kFormatVersion || !check) {
        return errSecInvalidKeychain;
    }
    if (mode == OpenMode::ListOnly) {
        return errSecSuccess;
    }
    const auto opened =
        keychain_internal::unseal(key_, *check, toBytes(keychain_internal::kCheckAad));
    if (!opened || toString(opened->bytes()) != keychain_internal::kCheckText) {
        return errSecAuthFailed;
    }
    return errSecSuccess;
}

OSStatus SecKeychain::find(const Bytes& service, const std::optional<Bytes>& account,
                           StoredItem* out) {
    using keychain_internal::statusFromSqlite;
    const std::lock_guard lock(mutex_);
    if (const OSStatus status = readable(); status != errSecSuccess) {
        return status == errSecNoSuchKeychain ? errSecItemNotFound : status;
    }
    keychain_internal::Statement statement;
    int rc = statement.prepare(db_.get(), account ? keychain_internal::kFindByServiceAndAccountSql
                                                  : keychain_internal::kFindByServiceSql);
    if (rc == SQLITE_OK) {
        rc = statement.bind(1, service);
    }
    if (rc == SQLITE_OK && account) {
        rc = statement.bind(2, *account);
    }
    if (rc != SQLITE_OK) {
        return statusFromSqlite(rc);
    }
    return keychain_internal::readFirstRow(statement, errSecItemNotFound, out);
}

OSStatus SecKeychain::read(std::int64_t id, StoredItem* out) {
    using keychain_internal::statusFromSqlite;
    const std::lock_guard lock(mutex_);
    if (const OSStatus status = readable(); status != errSecSuccess) {
        return status == errSecNoSuchKeychain ? errSecInvalidItemRef : status;
    }
    keychain_internal::Statement statement;
    int rc = statement.prepare(db_.get(),
                               std::string(keychain_internal::kSelectColumns) + "WHERE id = ?1");
    if (rc == SQLITE_OK) {
        rc = statement.bind(1, id);
    }
    if (rc != SQLITE_OK) {
        return statusFromSqlite(rc);
    }
    return keychain_internal::readFirstRow(statement, errSecInvalidItemRef, out);
}

OSStatus SecKeychain::openSecret(const StoredItem& item, SecretBytes* secret) const {
    if (key_.empty()) {
        return errSecAuthFailed;
    }
    auto opened = keychain_internal::unseal(
        key_, item.sealed, keychain_internal::itemAssociatedData(item.service, item.account));
    if (!opened) {
        return errSecDecode;
    }
    *secret = std::move(*opened);
    return errSecSuccess;
}

OSStatus SecKeychain::add(const std::vector<NewItem>& items, std::vector<std::int64_t>* ids) {
    using keychain_internal::statusFromSqlite;
    // Storing is what creates a keychain that does not exist yet.
    const std::lock_guard lock(mutex_);
    if (const OSStatus status = writable(); status != errSecSuccess) {
        return status;
    }
    // Seal everything before the write lock is taken, to keep it short.
    std::vector<Bytes> sealed;
    sealed.reserve(items.size());
    for (const NewItem& item : items) {
        if (item.secret == nullptr) {
            return errSecParam;
        }
        auto box = keychain_internal::seal(
            key_, item.secret->data(), item.secret->size(),
            keychain_internal::itemAssociatedData(item.service, item.account));
        if (!box) {
            return errSecInternalComponent;
        }
        sealed.push_back(std::move(*box));
    }

    sqlite3* db = db_.get();
    keychain_internal::Transaction transaction(db, inChange_);
    int rc = transaction.begin();
    if (rc != SQLITE_OK) {
        return statusFromSqlite(rc);
    }
    keychain_internal::Statement insert;
    rc = insert.prepare(db,
                        "INSERT INTO genp (svce, has_acct, acct, data, acl, cdat, mdat) "
                        "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?6)");
    if (rc != SQLITE_OK) {
        return statusFromSqlite(rc);
    }
    static const Bytes kNoAccount;
    std::vector<std::int64_t> added;
    added.reserve(items.size());
    const std::int64_t now = keychain_internal::nowMicros();
    for (std::size_t i = 0; i < items.size(); ++i) {
        const NewItem& item = items[i];
        insert.reset();
        rc = insert.bind(1, item.service);
        if (rc == SQLITE_OK) {
            rc = insert.bind(2, std::int64_t{item.account ? 1 : 0});
        }
        if (rc == SQLITE_OK) {
            rc = insert.bind(3, item.account ? *item.account : kNoAccount);
        }
        if (rc == SQLITE_OK) {
            rc = insert.bind(4, sealed[i]);
        }
        if (rc == SQLITE_OK) {
            rc = insert.bind(5, item.acl);
        }
        if (rc == SQLITE_OK) {
            rc = insert.bind(6, now);
        }
        if (rc == SQLITE_OK) {
            rc = insert.step();
        }
        if (rc != SQLITE_DONE) {
            return statusFromSqlite(rc);
        }
        added.push_back(sqlite3_last_insert_rowid(db));
    }
    if (rc = transaction.commit(); rc != SQLITE_OK) {
        return statusFromSqlite(rc);
    }
    if (ids != nullptr) {
        *ids = std::move(added);
    }
    return errSecSuccess;
}

OSStatus SecKeychain::remove(std::int64_t id) {
    const std::lock_guard lock(mutex_);
    if (const OSStatus status = writable(); status != errSecSuccess) {
        return status;
    }
    return keychain_internal::changeRow(db_.get(), inChange_, "DELETE FROM genp WHERE id = ?1", id,
                                        [](keychain_internal::Statement&) { return SQLITE_OK; });
}

OSStatus SecKeychain::setAcl(std::int64_t id, const Bytes& acl) {
    const std::lock_guard lock(mutex_);
    if (const OSStatus status = writable(); status != errSecSuccess) {
        return status;
    }
    return keychain_internal::changeRow(
        db_.get(), inChange_, "UPDATE genp SET acl = ?2, mdat = ?3 WHERE id = ?1", id,
        [&acl](keychain_internal::Statement& statement) {
            int rc = statement.bind(2, acl);
            if (rc == SQLITE_OK) {
                rc = statement.bind(3, keychain_internal::nowMicros());
            }
            return rc;
        });
}

std::optional<bool> SecKeychain::changeAtomically(const std::function<bool()>& change) {
    const std::lock_guard lock(mutex_);
    if (inChange_) {
        return change();
    }
    if (writable() != errSecSuccess) {
        return std::nullopt;
    }
    keychain_internal::Transaction transaction(db_.get(), false);
    if (transaction.begin() != SQLITE_OK) {
        return std::nullopt;
    }
    struct ChangeScope {
        bool& flag;
        explicit ChangeScope(bool& f) : flag(f) { flag = true; }
        ~ChangeScope() { flag = false; }
        ChangeScope(const ChangeScope&) = delete;
        ChangeScope& operator=(const ChangeScope&) = delete;
    } scope(inChange_);
    if (!change()) {
        return false;
    }
    return transaction.commit() == SQLITE_OK;
}

OSStatus SecKeychain::list(std::vector<StoredItem>* out) {
    using keychain_internal::statusFromSqlite;
    const std::lock_guard lock(mutex_);
    if (const OSStatus status = readable(); status != errSecSuccess) {
        if (status == errSecNoSuchKeychain) {
            out->clear();
            return errSecSuccess;
        }
        return status;
    }
    keychain_internal::Statement statement;
    int rc = statement.prepare(db_.get(),
                               std::string(keychain_internal::kSelectColumns) + "ORDER BY id");
    if (rc != SQLITE_OK) {
        return statusFromSqlite(rc);
    }
    std::vector<StoredItem> items;
    while ((rc = statement.step()) == SQLITE_ROW) {
        items.push_back(keychain_internal::readRow(statement));
    }
    if (rc != SQLITE_DONE) {
        return statusFromSqlite(rc);
    }
    *out = std::move(items);
    return errSecSuccess;
}

}  // namespace lockstep
