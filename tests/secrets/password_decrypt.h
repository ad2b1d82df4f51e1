#pragma once

// Opening an encrypted password again. The daemon never decrypts; the tests
// use this to prove that what passwordEncrypt() seals opens with the same
// badge UID, PIN and machine serial number, and with nothing else.

#include <openssl/evp.h>

#include <climits>
#include <memory>
#include <optional>
#include <string>

#include "platform/bytes.h"
#include "platform/context.h"
#include "secrets/password_cryptor.h"

namespace lockstep::testing {

// The clear text, or nothing when the layout is too short or the tag does
// not authenticate under the key derived from (uid, pin, serial).
inline std::optional<Bytes> passwordDecrypt(const Context& ctx, const Bytes& encrypted,
                                            const Bytes& rfidUID,
                                            const std::optional<std::string>& pin) {
    if (encrypted.size() < kEncryptedPasswordOverhead ||
        encrypted.size() > static_cast<std::size_t>(INT_MAX)) {
        return std::nullopt;
    }
    const Bytes salt(encrypted.begin(), encrypted.begin() + kStretchSaltLength);
    const std::uint8_t* nonce = encrypted.data() + kStretchSaltLength;
    const std::uint8_t* ciphertext = nonce + kGCMNonceLength;
    const std::size_t length = encrypted.size() - kEncryptedPasswordOverhead;
    Bytes tag(ciphertext + length, ciphertext + length + kGCMTagLength);

    const AESKeyAndSalt key = keyForAES(ctx, rfidUID, salt, pin);
    const std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> cipher(
        EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    Bytes clear(length + 1);  // never empty, so data() is valid
    int written = 0;
    int finalWritten = 0;
    if (cipher == nullptr ||
        EVP_DecryptInit_ex2(cipher.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(cipher.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(kGCMNonceLength),
                            nullptr) != 1 ||
        EVP_DecryptInit_ex2(cipher.get(), nullptr, key.key.data(), nonce, nullptr) != 1 ||
        (length > 0 && EVP_DecryptUpdate(cipher.get(), clear.data(), &written, ciphertext,
                                         static_cast<int>(length)) != 1) ||
        EVP_CIPHER_CTX_ctrl(cipher.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kGCMTagLength),
                            tag.data()) != 1 ||
        EVP_DecryptFinal_ex(cipher.get(), clear.data() + written, &finalWritten) != 1) {
        return std::nullopt;
    }
    clear.resize(static_cast<std::size_t>(written + finalWritten));
    return clear;
}

}  // namespace lockstep::testing
