#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/bytes.h"
#include "platform/context.h"
#include "platform/error.h"
#include "platform/keychain/keychain.h"

namespace lockstep {

// Errors of the password encryption. Compared by case.
class PasswordCryptorError final : public Error {
  public:
    enum class Case { saltLengthError, randomNumberGeneratingError, badInputDataLength, badSalt };

    explicit PasswordCryptorError(Case kind) noexcept : kind_(kind) {}

    [[nodiscard]] Case kind() const noexcept { return kind_; }
    [[nodiscard]] std::int64_t code() const noexcept override {
        return static_cast<std::int64_t>(kind_);
    }
    [[nodiscard]] std::string localizedDescription() const override;
    [[nodiscard]] const char* what() const noexcept override;

    friend bool operator==(const PasswordCryptorError& a, const PasswordCryptorError& b) noexcept {
        return a.kind_ == b.kind_;
    }

  private:
    Case kind_;
};

// A failure of the AES-GCM sealing itself (the cipher library refused an
// input or could not draw a nonce). Passed on unchanged by the callers.
class SealError final : public Error {
  public:
    explicit SealError(std::string message) : message_(std::move(message)) {}
    [[nodiscard]] std::int64_t code() const noexcept override { return -1; }
    [[nodiscard]] std::string localizedDescription() const override { return message_; }
    [[nodiscard]] const char* what() const noexcept override { return message_.c_str(); }

  private:
    std::string message_;
};

// Sizes of the stretching and of the encrypted-password layout
// (salt | nonce | ciphertext | tag).
inline constexpr std::size_t kStretchSaltLength = 16;
inline constexpr std::size_t kStretchRounds = 0x10000;  // after the first digest
inline constexpr std::size_t kDigestLength = 32;
inline constexpr std::size_t kGCMNonceLength = 12;
inline constexpr std::size_t kGCMTagLength = 16;
inline constexpr std::size_t kEncryptedPasswordOverhead =
    kStretchSaltLength + kGCMNonceLength + kGCMTagLength;
// The RFID UID is padded with zero bytes to this length in the key material.
inline constexpr std::size_t kKeyMaterialUIDLength = 7;

// The stretched secret: the final digest and the salt that produced it.
struct StretchedSecret {
    SecretBytes hashedValue;
    Bytes salt;
};

// An AES-256 key and the salt of the stretching that made it.
struct AESKeyAndSalt {
    SecretBytes key;
    Bytes salt;
};

// Salted, iterated SHA-256. A value type without state.
class PasswordCryptor {
  public:
    // h = SHA-256(secret | salt), then 65,536 times h = SHA-256(h | secret |
    // salt). Without a salt, 16 random bytes are drawn from the keychain
    // service's generator; a failure of it throws randomNumberGeneratingError.
    // A given salt is used unchanged, whatever its length.
    [[nodiscard]] StretchedSecret hashSecretWithKeyStretchingAndSalt(
        KeychainService& keychain, const Bytes& secret, const std::optional<Bytes>& salt) const;

    // The same stretching with a known salt; draws nothing.
    [[nodiscard]] StretchedSecret hashSecretWithKeyStretchingAndSalt(const Bytes& secret,
                                                                     const Bytes& salt) const;
};

// The bytes fed to the stretching: the RFID UID padded with 0x00 to 7 bytes
// (never cut), then the PIN's bytes when it is given and valid UTF-8, then the
// serial number's bytes. No separators, no lengths.
[[nodiscard]] SecretBytes aesKeyMaterial(const Bytes& rfidUID,
                                         const std::optional<std::string>& pin,
                                         std::string_view serial);

// Derives the AES-256 key bound to the badge UID, the PIN and the machine
// serial number (getSerial(ctx.machineRoot)). Throws SecretKeeperError
// aesEncryptionError (after logging "serial number error") when there is no
// serial number in UTF-8, and passes on the stretching's errors.
[[nodiscard]] AESKeyAndSalt keyForAES(const Context& ctx, const Bytes& rfidUID,
                                      const std::optional<Bytes>& salt,
                                      const std::optional<std::string>& pin);

// Seals a password with AES-256-GCM under a key from keyForAES with a fresh
// salt. Returns salt (16) | nonce (12) | ciphertext (n) | tag (16).
// Throws what keyForAES throws, PasswordCryptorError::badSalt, SealError, or
// SecretKeeperError aesEncryptionError when the sealed box is incomplete.
[[nodiscard]] Bytes passwordEncrypt(const Context& ctx, const Bytes& clearTextData,
                                    const Bytes& rfidUID, const std::optional<std::string>& pin);

}  // namespace lockstep
