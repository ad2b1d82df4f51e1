// The yardstick of the whole-process benchmark: the least a plain run has to
// do, written as one small program. It reads the stored credential of the
// service "Lockstep" from the System keychain, laid out as lockstepd stores
// it (one indexed SQLite read, one AES-256-GCM open bound to the item's
// class, service and account), hands it to /usr/bin/fdesetup on standard
// input (one posix_spawn; the 175-byte request template filled in), reads
// the tool's output, waits for it, prints the result line and exits. No
// logging, no settings, no checks beyond what the work itself needs.
//
// Given any argument, it exits at once instead: what starting a program that
// links these libraries costs.

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace {

constexpr const char* kKeychain = "/var/lib/lockstep/System.keychain";
constexpr const char* kKeyFile = "/var/lib/lockstep/System.keychain.key";
constexpr const char* kTool = "/usr/bin/fdesetup";
constexpr std::string_view kService = "Lockstep";
constexpr std::size_t kKeyBytes = 32;
constexpr std::size_t kNonceBytes = 12;
constexpr std::size_t kTagBytes = 16;

using Bytes = std::vector<std::uint8_t>;

struct SqliteCloser {
    void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
struct StatementCloser {
    void operator()(sqlite3_stmt* statement) const noexcept { sqlite3_finalize(statement); }
};
struct CipherCloser {
    void operator()(EVP_CIPHER_CTX* context) const noexcept { EVP_CIPHER_CTX_free(context); }
};

// Closes a descriptor when it goes out of scope.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    [[nodiscard]] int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

  private:
    int fd_;
};

void appendField(Bytes& out, const void* data, std::size_t length) {
    const auto value = static_cast<std::uint32_t>(length);
    for (unsigned shift = 24;; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
        if (shift == 0) {
            break;
        }
    }
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    out.insert(out.end(), bytes, bytes + length);
}

bool readKey(unsigned char (&key)[kKeyBytes]) {
    const Fd fd(::open(kKeyFile, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    std::size_t done = 0;
    while (fd.get() >= 0 && done < kKeyBytes) {
        const ssize_t n = ::read(fd.get(), key + done, kKeyBytes - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return done == kKeyBytes;
}

struct Credential {
    std::string account;
    std::string password;
};

// The oldest item of the service, opened with the keychain's key.
bool readCredential(Credential& out) {
    unsigned char key[kKeyBytes];
    if (!readKey(key)) {
        return false;
    }
    sqlite3* rawDb = nullptr;
    const int opened = sqlite3_open_v2(kKeychain, &rawDb, SQLITE_OPEN_READONLY, nullptr);
    const std::unique_ptr<sqlite3, SqliteCloser> db(rawDb);
    if (opened != SQLITE_OK) {
        return false;
    }
    sqlite3_stmt* rawStatement = nullptr;
    constexpr std::string_view kSql =
        "SELECT has_acct, acct, data FROM genp WHERE svce = ?1 ORDER BY id LIMIT 1";
    if (sqlite3_prepare_v2(db.get(), kSql.data(), static_cast<int>(kSql.size()), &rawStatement,
                           nullptr) != SQLITE_OK) {
        return false;
    }
    const std::unique_ptr<sqlite3_stmt, StatementCloser> statement(rawStatement);
    if (sqlite3_bind_blob(statement.get(), 1, kService.data(), static_cast<int>(kService.size()),
                          SQLITE_STATIC) != SQLITE_OK ||
        sqlite3_step(statement.get()) != SQLITE_ROW) {
        return false;
    }
    const bool hasAccount = sqlite3_column_int(statement.get(), 0) != 0;
    const auto* account = static_cast<const char*>(sqlite3_column_blob(statement.get(), 1));
    const auto accountLength = static_cast<std::size_t>(sqlite3_column_bytes(statement.get(), 1));
    const auto* sealed = static_cast<const std::uint8_t*>(sqlite3_column_blob(statement.get(), 2));
    const auto sealedLength = static_cast<std::size_t>(sqlite3_column_bytes(statement.get(), 2));
    if (sealed == nullptr || sealedLength < 1 + kNonceBytes + kTagBytes || sealed[0] != 1) {
        return false;
    }

    // The associated data: "lockstep.keychain.item.v1", the class "genp",
    // the service and the account, each with a 32-bit length in front; a
    // flag byte says whether there is an account.
    Bytes aad;
    constexpr std::string_view kTag = "lockstep.keychain.item.v1";
    constexpr std::string_view kClass = "genp";
    appendField(aad, kTag.data(), kTag.size());
    appendField(aad, kClass.data(), kClass.size());
    appendField(aad, kService.data(), kService.size());
    aad.push_back(hasAccount ? 1 : 0);
    if (hasAccount) {
        appendField(aad, account, accountLength);
    }

    // Sealed form: version byte, nonce, ciphertext, tag.
    const std::uint8_t* nonce = sealed + 1;
    const std::uint8_t* cipher = nonce + kNonceBytes;
    const std::size_t length = sealedLength - 1 - kNonceBytes - kTagBytes;
    unsigned char tag[kTagBytes];
    std::copy(cipher + length, cipher + length + kTagBytes, tag);
    const std::unique_ptr<EVP_CIPHER_CTX, CipherCloser> context(EVP_CIPHER_CTX_new());
    std::string plain(length, '\0');
    int written = 0;
    int finalWritten = 0;
    const bool ok =
        context != nullptr &&
        EVP_DecryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, key, nonce) == 1 &&
        EVP_DecryptUpdate(context.get(), nullptr, &written, aad.data(),
                          static_cast<int>(aad.size())) == 1 &&
        EVP_DecryptUpdate(context.get(), reinterpret_cast<unsigned char*>(plain.data()), &written,
                          cipher, static_cast<int>(length)) == 1 &&
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagBytes),
                            tag) == 1 &&
        EVP_DecryptFinal_ex(context.get(), reinterpret_cast<unsigned char*>(plain.data()),
                            &finalWritten) == 1;
    OPENSSL_cleanse(key, sizeof key);
    if (!ok) {
        OPENSSL_cleanse(plain.data(), plain.size());
        return false;
    }
    out.account.assign(account == nullptr ? "" : account, account == nullptr ? 0 : accountLength);
    out.password = std::move(plain);
    return true;
}

// Starts the tool with the request on its input and its output and error on
// one pipe; true when it ran and exited with status 0.
bool runTool(const std::string& request) {
    int input[2];
    int output[2];
    if (::pipe2(input, O_CLOEXEC) != 0) {
        return false;
    }
    Fd inputRead(input[0]);
    Fd inputWrite(input[1]);
    if (::pipe2(output, O_CLOEXEC) != 0) {
        return false;
    }
    Fd outputRead(output[0]);
    Fd outputWrite(output[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inputRead.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outputWrite.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outputWrite.get(), STDERR_FILENO);
    // SIGPIPE is ignored here (a tool that exits without reading its input
    // must not end this program); the tool gets it back at its default.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    char tool[] = "/usr/bin/fdesetup";
    char a1[] = "authrestart";
    char a2[] = "-delayminutes";
    char a3[] = "-1";
    char a4[] = "-inputplist";
    char* argv[] = {tool, a1, a2, a3, a4, nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, kTool, &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    inputRead.reset();
    outputWrite.reset();
    if (spawned != 0) {
        return false;
    }

    std::size_t done = 0;
    while (done < request.size()) {
        const ssize_t n = ::write(inputWrite.get(), request.data() + done, request.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;  // the tool went away without reading; its status decides
        }
        done += static_cast<std::size_t>(n);
    }
    inputWrite.reset();
    std::string printed;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(outputRead.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        printed.append(buffer, static_cast<std::size_t>(n));
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char**) {
    if (argc > 1) {
        return 0;
    }
    ::signal(SIGPIPE, SIG_IGN);
    OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
    Credential credential;
    if (!readCredential(credential)) {
        return 0;
    }
    std::string request;
    request.reserve(256);
    request += " <plist>\n   <dict>\n         <key>Username</key>\n         <string>";
    request += credential.account;
    request += "</string>\n         <key>Password</key>\n         <string>";
    request += credential.password;
    request += "</string>\n   </dict>\n</plist>\n";
    const bool armed = runTool(request);
    OPENSSL_cleanse(request.data(), request.size());
    OPENSSL_cleanse(credential.password.data(), credential.password.size());
    std::fputs(armed ? "Successfully authenticated with FileVault\n"
                     : "Failed to authenticate with FileVault\n",
               stdout);
    return 0;
}
