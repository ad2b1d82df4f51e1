#pragma once

// Cryptographic building blocks of the keychain files: the OS random
// generator, the per-keychain key file, AES-256-GCM sealing of secrets and
// SHA-256 of program files. Internal to the keychain service.

#include <cstddef>
#include <filesystem>
#include <optional>

#include "platform/bytes.h"
#include "platform/status.h"

namespace lockstep::keychain_internal {

inline constexpr std::size_t kKeyBytes = 32;
inline constexpr std::size_t kNonceBytes = 12;
inline constexpr std::size_t kTagBytes = 16;
// Sealed form: one version byte, the nonce, the ciphertext, the tag.
inline constexpr std::uint8_t kSealVersion = 1;
inline constexpr std::size_t kSealOverhead = 1 + kNonceBytes + kTagBytes;

// Fills `bytes` from getrandom(2), retrying interrupted calls and short
// reads. errSecParam for a null buffer with a non-zero count.
[[nodiscard]] OSStatus fillRandom(void* bytes, std::size_t count) noexcept;

// Reads the 32-byte key file of a keychain. Refuses a symlink, anything but
// a regular file, a file not owned by the effective user, a file that group
// or others may read or write, and a file of another size
// (errSecInvalidKeychain). A missing file gives errSecItemNotFound so the
// caller can decide whether a new key may be made.
[[nodiscard]] OSStatus readKeyFile(const std::filesystem::path& path, SecretBytes* key);

// Makes a new random key file (mode 0600) unless one exists already. The key
// is written to a fresh private file first and then linked into place, so a
// reader never sees a partly written key; a key that another process placed
// first is kept.
[[nodiscard]] OSStatus createKeyFile(const std::filesystem::path& path);

// AES-256-GCM with a fresh random nonce. `aad` binds the ciphertext to its
// context. Gives nothing when the cipher or the generator fails.
[[nodiscard]] std::optional<Bytes> seal(const SecretBytes& key, const std::uint8_t* plain,
                                        std::size_t length, const Bytes& aad);

// Opens what `seal` made with the same key and `aad`. Gives nothing when the
// form is malformed or does not authenticate; no clear text is released then.
[[nodiscard]] std::optional<SecretBytes> unseal(const SecretBytes& key, const Bytes& sealed,
                                                const Bytes& aad);

// SHA-256 of everything readable from `fd`, from its current offset.
[[nodiscard]] OSStatus sha256OfFile(int fd, Bytes* digest);

// Flushes a folder so that a name just created or linked in it is durable.
void syncFolder(const std::filesystem::path& folder) noexcept;

// Maps an errno value of a file operation to a keychain status.
[[nodiscard]] OSStatus statusFromErrno(int error) noexcept;

}  // namespace lockstep::keychain_internal
