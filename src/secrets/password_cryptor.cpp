// The stretching runs 65,537 digests of about two blocks each, so the cost
// per digest matters. OpenSSL 3's EVP digest calls allocate on every
// initialisation and add their dispatch on top, which costs about twice the
// bare compression work; the low-level SHA256_* calls, deprecated but still
// shipped, hash with no allocation and little overhead. Their deprecation
// warnings are silenced for this file only.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "secrets/password_cryptor.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <algorithm>
#include <climits>
#include <memory>

#include "account/machine_identity.h"
#include "log/log.h"
#include "platform/text.h"
#include "secrets/secret_keeper.h"

namespace lockstep {

namespace {

constexpr std::string_view kKeyForAESName = "keyForAES(rfidUID:salt:pin:)";
constexpr std::string_view kPasswordEncryptName = "passwordEncrypt(clearTextData:rfidUID:pin:)";

// Wipes a hashing state when it goes out of scope.
struct ScopedSHA256 {
    SHA256_CTX context{};
    ScopedSHA256() = default;
    ScopedSHA256(const ScopedSHA256&) = delete;
    ScopedSHA256& operator=(const ScopedSHA256&) = delete;
    ~ScopedSHA256() { OPENSSL_cleanse(&context, sizeof(context)); }
};

struct CipherContextDeleter {
    void operator()(EVP_CIPHER_CTX* context) const noexcept { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter>;

}  // namespace

std::string PasswordCryptorError::localizedDescription() const {
    return "The operation couldn’t be completed. (lockstepd.PasswordCryptorError error " +
           std::to_string(code()) + ".)";
}

const char* PasswordCryptorError::what() const noexcept {
    switch (kind_) {
        case Case::saltLengthError:
            return "PasswordCryptorError.saltLengthError";
        case Case::randomNumberGeneratingError:
            return "PasswordCryptorError.randomNumberGeneratingError";
        case Case::badInputDataLength:
            return "PasswordCryptorError.badInputDataLength";
        case Case::badSalt:
            return "PasswordCryptorError.badSalt";
    }
    return "PasswordCryptorError";
}

StretchedSecret PasswordCryptor::hashSecretWithKeyStretchingAndSalt(
    KeychainService& keychain, const Bytes& secret, const std::optional<Bytes>& salt) const {
    if (salt.has_value()) {
        return hashSecretWithKeyStretchingAndSalt(secret, *salt);
    }
    Bytes fresh(kStretchSaltLength, 0);
    if (keychain.SecRandomCopyBytes(kSecRandomDefault, fresh.size(), fresh.data()) !=
        errSecSuccess) {
        throw PasswordCryptorError(PasswordCryptorError::Case::randomNumberGeneratingError);
    }
    return hashSecretWithKeyStretchingAndSalt(secret, fresh);
}

StretchedSecret PasswordCryptor::hashSecretWithKeyStretchingAndSalt(const Bytes& secret,
                                                                    const Bytes& salt) const {
    // One buffer laid out once as h | secret | salt. Each round hashes all of
    // it and writes the digest over h in place, so no round allocates or
    // copies.
    SecretBytes buffer(Bytes(kDigestLength + secret.size() + salt.size()));
    std::uint8_t* const h = buffer.bytes().data();
    std::copy(secret.begin(), secret.end(), h + kDigestLength);
    std::copy(salt.begin(), salt.end(), h + kDigestLength + secret.size());

    ScopedSHA256 sha;
    SHA256_Init(&sha.context);
    SHA256_Update(&sha.context, h + kDigestLength, buffer.size() - kDigestLength);
    SHA256_Final(h, &sha.context);
    for (std::size_t round = 0; round < kStretchRounds; ++round) {
        SHA256_Init(&sha.context);
        SHA256_Update(&sha.context, h, buffer.size());
        SHA256_Final(h, &sha.context);
    }
    return {SecretBytes(Bytes(h, h + kDigestLength)), salt};
}

SecretBytes aesKeyMaterial(const Bytes& rfidUID, const std::optional<std::string>& pin,
                           std::string_view serial) {
    // Reserve the final size up front so that no reallocation leaves a copy
    // of the material behind in freed memory.
    const std::size_t pinLength = pin.has_value() ? pin->size() : 0;
    Bytes bytes;
    bytes.reserve(std::max(rfidUID.size(), kKeyMaterialUIDLength) + pinLength + serial.size());
    bytes.assign(rfidUID.begin(), rfidUID.end());
    if (bytes.size() < kKeyMaterialUIDLength) {
        bytes.resize(kKeyMaterialUIDLength, 0x00);
    }
    if (pin.has_value() && isValidUtf8(*pin)) {
        bytes.insert(bytes.end(), pin->begin(), pin->end());
    }
    bytes.insert(bytes.end(), serial.begin(), serial.end());
    return SecretBytes(std::move(bytes));
}

AESKeyAndSalt keyForAES(const Context& ctx, const Bytes& rfidUID, const std::optional<Bytes>& salt,
                        const std::optional<std::string>& pin) {
    std::optional<std::string> serial = getSerial(ctx.machineRoot);
    if (!serial.has_value() || !isValidUtf8(*serial)) {
        LOCKSTEP_LOG_DEBUG("serial number error", kKeyForAESName);
        throw SecretKeeperError(SecretKeeperError::Case::aesEncryptionError);
    }
    const SecretBytes material = aesKeyMaterial(rfidUID, pin, *serial);
    secureWipe(serial->data(), serial->size());
    StretchedSecret stretched =
        PasswordCryptor{}.hashSecretWithKeyStretchingAndSalt(ctx.keychain, material.bytes(), salt);
    return {std::move(stretched.hashedValue), std::move(stretched.salt)};
}

Bytes passwordEncrypt(const Context& ctx, const Bytes& clearTextData, const Bytes& rfidUID,
                      const std::optional<std::string>& pin) {
    const AESKeyAndSalt derived = keyForAES(ctx, rfidUID, std::nullopt, pin);
    // The layout has room for exactly one fresh salt.
    if (derived.salt.size() != kStretchSaltLength) {
        throw PasswordCryptorError(PasswordCryptorError::Case::badSalt);
    }
    if (clearTextData.size() > static_cast<std::size_t>(INT_MAX) - kEncryptedPasswordOverhead) {
        throw SealError("clear text too long for AES-GCM");
    }
    const int clearLength = static_cast<int>(clearTextData.size());

    Bytes sealed(kEncryptedPasswordOverhead + clearTextData.size());
    std::uint8_t* const salt = sealed.data();
    std::uint8_t* const nonce = salt + kStretchSaltLength;
    std::uint8_t* const ciphertext = nonce + kGCMNonceLength;
    std::uint8_t* const tag = ciphertext + clearTextData.size();
    std::copy(derived.salt.begin(), derived.salt.end(), salt);
    if (RAND_bytes(nonce, static_cast<int>(kGCMNonceLength)) != 1) {
        throw SealError("could not draw an AES-GCM nonce");
    }

    const CipherContext cipher(EVP_CIPHER_CTX_new());
    if (cipher == nullptr ||
        EVP_EncryptInit_ex2(cipher.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(cipher.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(kGCMNonceLength),
                            nullptr) != 1 ||
        EVP_EncryptInit_ex2(cipher.get(), nullptr, derived.key.data(), nonce, nullptr) != 1) {
        throw SealError("could not set up AES-256-GCM");
    }
    int written = 0;
    if (clearLength > 0 && EVP_EncryptUpdate(cipher.get(), ciphertext, &written,
                                             clearTextData.data(), clearLength) != 1) {
        throw SealError("AES-GCM encryption failed");
    }
    int finalWritten = 0;
    if (EVP_EncryptFinal_ex(cipher.get(), ciphertext + written, &finalWritten) != 1) {
        throw SealError("AES-GCM encryption failed");
    }
    // The combined form (nonce | ciphertext | tag) needs the whole ciphertext
    // and the tag.
    if (written + finalWritten != clearLength ||
        EVP_CIPHER_CTX_ctrl(cipher.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kGCMTagLength),
                            tag) != 1) {
        LOCKSTEP_LOG_DEBUG("seal error", kPasswordEncryptName);
        throw SecretKeeperError(SecretKeeperError::Case::aesEncryptionError);
    }
    return sealed;
}

}  // namespace lockstep
