#pragma once

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "keychain/faulty_keychain.h"
#include "platform/context.h"
#include "platform/directory/local_directory.h"
#include "platform/keychain/sqlite_keychain.h"
#include "secrets/password_cryptor.h"
#include "support/temp_dir.h"

namespace lockstep::testing {

inline constexpr std::string_view kTestSerial = "4c4c4544004d3510804bc4c04f4e3732";

// A real keychain service (behind the fault switches) and local directory
// on a temporary folder, and a machine root whose etc/machine-id is the serial.
class SecretsTest : public ::testing::Test {
  protected:
    SecretsTest() { setSerial(kTestSerial); }
    void setSerial(std::string_view serial) {
        writeFile(temp / "machine/etc/machine-id", std::string(serial) + "\n");
    }
    void removeSerial() { std::filesystem::remove(temp / "machine/etc/machine-id"); }
    void failRandom() { keychain.faults["SecRandomCopyBytes"] = {.status = errSecAllocate}; }

    TempDir temp;
    SqliteKeychainService realKeychain{{.systemKeychainPath = temp / "keychains/System.keychain",
                                        .userKeychainPath = temp / "keychains/login.keychain",
                                        .callingProgramPath = {},
                                        .partitionId = kDefaultPartitionId}};
    FaultyKeychainService keychain{realKeychain};
    LocalDirectoryService directory{temp / "directory"};
    Context ctx{keychain, directory, "/usr/bin/fdesetup", temp.path(), temp / "machine"};
};

// The kind of E that `body` throws; nothing when it throws nothing.
template <class E, class Body>
std::optional<typename E::Case> caseThrown(Body&& body) {
    try {
        body();
    } catch (const E& error) {
        return error.kind();
    }
    return std::nullopt;
}

// Opens an encrypted password (salt | nonce | ciphertext | tag) again: the
// clear text, or nothing when the tag does not authenticate under the key of
// (uid, pin, serial). The daemon itself never decrypts.
inline std::optional<Bytes> passwordDecrypt(const Context& ctx, const Bytes& sealed,
                                            const Bytes& uid,
                                            const std::optional<std::string>& pin) {
    const Bytes salt(sealed.begin(), sealed.begin() + kStretchSaltLength);
    const std::uint8_t* nonce = sealed.data() + kStretchSaltLength;
    const std::uint8_t* ciphertext = nonce + kGCMNonceLength;
    const int length = static_cast<int>(sealed.size() - kEncryptedPasswordOverhead);
    Bytes tag(ciphertext + length, sealed.data() + sealed.size());
    const std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> cipher(
        EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    Bytes clear(sealed.size());
    int written = 0;
    int last = 0;
    if (EVP_DecryptInit_ex(cipher.get(), EVP_aes_256_gcm(), nullptr,
                           keyForAES(ctx, uid, salt, pin).key.data(), nonce) != 1 ||
        EVP_DecryptUpdate(cipher.get(), clear.data(), &written, ciphertext, length) != 1 ||
        EVP_CIPHER_CTX_ctrl(cipher.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(tag.size()),
                            tag.data()) != 1 ||
        EVP_DecryptFinal_ex(cipher.get(), clear.data() + written, &last) != 1) {
        return std::nullopt;
    }
    clear.resize(static_cast<std::size_t>(written + last));
    return clear;
}

// Hand-written keyed archives in XML. A reference to entry `uid` of "$objects":
inline std::string ref(std::uint64_t uid) {
    return "<dict><key>CF$UID</key><integer>" + std::to_string(uid) + "</integer></dict>";
}
// A class entry {"$classname": name, "$classes": [name, "NSObject"]}.
inline std::string xmlClass(const std::string& name) {
    return "<dict><key>$classname</key><string>" + name +
           "</string><key>$classes</key><array><string>" + name +
           "</string><string>NSObject</string></array></dict>";
}
// An object of the class at `classUID` with the given keys and values.
inline std::string xmlObject(std::uint64_t classUID,
                             const std::vector<std::pair<std::string, std::string>>& fields) {
    std::string text = "<dict><key>$class</key>" + ref(classUID);
    for (const auto& [key, value] : fields) {
        text += "<key>" + key + "</key>" + value;
    }
    return text + "</dict>";
}
// `top` is the inside of "$top", `objects` the entries from UID 1 on.
inline Bytes xmlArchive(const std::string& top, const std::vector<std::string>& objects) {
    std::string text =
        "<plist version=\"1.0\"><dict><key>$archiver</key><string>NSKeyedArchiver</string>"
        "<key>$objects</key><array><string>$null</string>";
    for (const std::string& object : objects) {
        text += object;
    }
    return toBytes(text + "</array><key>$top</key><dict>" + top +
                   "</dict><key>$version</key><integer>100000</integer></dict></plist>");
}

}  // namespace lockstep::testing
