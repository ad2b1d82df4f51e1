#include "platform/keychain/keychain_crypto.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <memory>
#include <string>

#include "platform/keychain/acl_codec.h"
#include "platform/scoped_fd.h"
#include "platform/text.h"

namespace lockstep::keychain_internal {

namespace {

struct CipherCtxDeleter {
    void operator()(EVP_CIPHER_CTX* ctx) const noexcept { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter>;

struct DigestCtxDeleter {
    void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
};
using DigestCtx = std::unique_ptr<EVP_MD_CTX, DigestCtxDeleter>;

// Largest buffer handed to one EVP call; the callers cap their inputs far
// below this, the check only keeps the int conversions honest.
constexpr std::size_t kMaxCipherInput = INT_MAX / 2;

[[nodiscard]] bool writeAll(int fd, const std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

// Reads until `length` bytes arrived or the file ended; gives the count.
[[nodiscard]] ssize_t readFull(int fd, std::uint8_t* data, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::read(fd, data + done, length - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

}  // namespace

OSStatus statusFromErrno(int error) noexcept {
    switch (error) {
        case ENOSPC:
        case EDQUOT:
            return errSecDiskFull;
        case EROFS:
            return errSecReadOnly;
        case ENOMEM:
            return errSecAllocate;
        default:
            return errSecIO;
    }
}

OSStatus fillRandom(void* bytes, std::size_t count) noexcept {
    if (count == 0) {
        return errSecSuccess;
    }
    if (bytes == nullptr) {
        return errSecParam;
    }
    auto* out = static_cast<std::uint8_t*>(bytes);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::getrandom(out + done, count - done, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errSecInternalComponent;
        }
        done += static_cast<std::size_t>(n);
    }
    return errSecSuccess;
}

OSStatus readKeyFile(const std::filesystem::path& path, SecretBytes* key) {
    // O_NONBLOCK: a FIFO at the path is refused below instead of waited on.
    const ScopedFD fd(
        ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK));
    if (!fd) {
        const int error = errno;
        if (error == ENOENT) {
            return errSecItemNotFound;
        }
        // O_NOFOLLOW on a symlink.
        if (error == ELOOP) {
            return errSecInvalidKeychain;
        }
        return statusFromErrno(error);
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        return statusFromErrno(errno);
    }
    if (!S_ISREG(info.st_mode) || info.st_uid != ::geteuid() ||
        (info.st_mode & (S_IRWXG | S_IRWXO)) != 0 ||
        info.st_size != static_cast<off_t>(kKeyBytes)) {
        return errSecInvalidKeychain;
    }
    // One byte more than a key, to notice a file that grew after fstat.
    SecretBytes buffer{Bytes(kKeyBytes + 1)};
    const ssize_t n = readFull(fd.get(), buffer.bytes().data(), buffer.size());
    if (n < 0) {
        return statusFromErrno(errno);
    }
    if (static_cast<std::size_t>(n) != kKeyBytes) {
        return errSecInvalidKeychain;
    }
    SecretBytes result(Bytes(buffer.data(), buffer.data() + kKeyBytes));
    *key = std::move(result);
    return errSecSuccess;
}

OSStatus createKeyFile(const std::filesystem::path& path) {
    std::array<std::uint8_t, 8> suffix{};
    if (const OSStatus status = fillRandom(suffix.data(), suffix.size()); status != errSecSuccess) {
        return status;
    }
    const std::filesystem::path temporary = path.string() + ".new-" + hexEncode(suffix);
    {
        const ScopedFD fd(::open(temporary.c_str(),
                                 O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY,
                                 S_IRUSR | S_IWUSR));
        if (!fd) {
            return statusFromErrno(errno);
        }
        SecretBytes key{Bytes(kKeyBytes)};
        OSStatus status = fillRandom(key.bytes().data(), key.size());
        if (status == errSecSuccess) {
            // The creation mode went through the umask; make it exactly 0600.
            if (::fchmod(fd.get(), S_IRUSR | S_IWUSR) != 0 ||
                !writeAll(fd.get(), key.data(), key.size()) || ::fsync(fd.get()) != 0) {
                status = statusFromErrno(errno);
            }
        }
        if (status != errSecSuccess) {
            ::unlink(temporary.c_str());
            return status;
        }
    }
    // link(2) never replaces an existing name: when another process placed a
    // key first, that key wins and ours is dropped.
    const int linked = ::link(temporary.c_str(), path.c_str());
    const int linkError = errno;
    ::unlink(temporary.c_str());
    if (linked != 0 && linkError != EEXIST) {
        return statusFromErrno(linkError);
    }
    syncFolder(path.parent_path());
    return errSecSuccess;
}

std::optional<Bytes> seal(const SecretBytes& key, const std::uint8_t* plain, std::size_t length,
                          const Bytes& aad) {
    if (key.size() != kKeyBytes || length > kMaxCipherInput || aad.size() > kMaxCipherInput ||
        (plain == nullptr && length > 0)) {
        return std::nullopt;
    }
    Bytes out(kSealOverhead + length);
    out[0] = kSealVersion;
    std::uint8_t* nonce = out.data() + 1;
    std::uint8_t* cipher = nonce + kNonceBytes;
    std::uint8_t* tag = cipher + length;
    if (fillRandom(nonce, kNonceBytes) != errSecSuccess) {
        return std::nullopt;
    }
    const CipherCtx ctx(EVP_CIPHER_CTX_new());
    int written = 0;
    if (ctx == nullptr ||
        EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(kNonceBytes),
                            nullptr) != 1 ||
        EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), nonce) != 1) {
        return std::nullopt;
    }
    if (!aad.empty() && EVP_EncryptUpdate(ctx.get(), nullptr, &written, aad.data(),
                                          static_cast<int>(aad.size())) != 1) {
        return std::nullopt;
    }
    if (length > 0 &&
        (EVP_EncryptUpdate(ctx.get(), cipher, &written, plain, static_cast<int>(length)) != 1 ||
         static_cast<std::size_t>(written) != length)) {
        return std::nullopt;
    }
    if (EVP_EncryptFinal_ex(ctx.get(), cipher + length, &written) != 1 || written != 0 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagBytes), tag) !=
            1) {
        return std::nullopt;
    }
    return out;
}

std::optional<SecretBytes> unseal(const SecretBytes& key, const Bytes& sealed, const Bytes& aad) {
    if (key.size() != kKeyBytes || sealed.size() < kSealOverhead || sealed[0] != kSealVersion ||
        sealed.size() > kMaxCipherInput || aad.size() > kMaxCipherInput) {
        return std::nullopt;
    }
    const std::size_t length = sealed.size() - kSealOverhead;
    const std::uint8_t* nonce = sealed.data() + 1;
    const std::uint8_t* cipher = nonce + kNonceBytes;
    // The tag is handed to OpenSSL through a non-const pointer; copy it.
    std::array<std::uint8_t, kTagBytes> tag{};
    std::copy(cipher + length, cipher + length + kTagBytes, tag.begin());

    const CipherCtx ctx(EVP_CIPHER_CTX_new());
    int written = 0;
    if (ctx == nullptr ||
        EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(kNonceBytes),
                            nullptr) != 1 ||
        EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), nonce) != 1) {
        return std::nullopt;
    }
    if (!aad.empty() && EVP_DecryptUpdate(ctx.get(), nullptr, &written, aad.data(),
                                          static_cast<int>(aad.size())) != 1) {
        return std::nullopt;
    }
    SecretBytes plain{Bytes(length)};
    if (length > 0 && (EVP_DecryptUpdate(ctx.get(), plain.bytes().data(), &written, cipher,
                                         static_cast<int>(length)) != 1 ||
                       static_cast<std::size_t>(written) != length)) {
        return std::nullopt;
    }
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagBytes),
                            tag.data()) != 1) {
        return std::nullopt;
    }
    // The final call checks the tag; on a mismatch `plain` is wiped on return.
    std::array<std::uint8_t, 16> tail{};
    if (EVP_DecryptFinal_ex(ctx.get(), tail.data(), &written) != 1 || written != 0) {
        return std::nullopt;
    }
    return plain;
}

OSStatus sha256OfFile(int fd, Bytes* digest) {
    const DigestCtx ctx(EVP_MD_CTX_new());
    if (ctx == nullptr || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
        return errSecInternalComponent;
    }
    std::array<std::uint8_t, std::size_t{64} * 1024> buffer{};
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return statusFromErrno(errno);
        }
        if (n == 0) {
            break;
        }
        if (EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<std::size_t>(n)) != 1) {
            return errSecInternalComponent;
        }
    }
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx.get(), out.data(), &length) != 1) {
        return errSecInternalComponent;
    }
    out.resize(length);
    *digest = std::move(out);
    return errSecSuccess;
}

void syncFolder(const std::filesystem::path& folder) noexcept {
    const std::filesystem::path target = folder.empty() ? std::filesystem::path(".") : folder;
    const ScopedFD fd(::open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) {
        // Best effort: the data itself is already synced; a folder that
        // cannot be flushed only weakens durability of the new name.
        static_cast<void>(::fsync(fd.get()));
    }
}

}  // namespace lockstep::keychain_internal
