#include "secrets/password_cryptor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <string>

#include "password_decrypt.h"
#include "secrets/secret_keeper.h"
#include "secrets_fixture.h"
#include "support/log_capture.h"

namespace lockstep::testing {
namespace {

Bytes fromHex(std::string_view hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(
            static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    }
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

// The stretching written out with OpenSSL's one-shot SHA256().
Bytes referenceStretch(const Bytes& secret, const Bytes& salt) {
    Bytes h(SHA256_DIGEST_LENGTH);
    const Bytes first = concat({secret, salt});
    SHA256(first.data(), first.size(), h.data());
    for (int round = 0; round < 0x10000; ++round) {
        const Bytes input = concat({h, secret, salt});
        SHA256(input.data(), input.size(), h.data());
    }
    return h;
}

const Bytes kBadgeUID = fromHex("04a2243b6c5280");
const Bytes kSalt = fromHex("101112131415161718191a1b1c1d1e1f");

class PasswordCryptorTest : public SecretsTest {};

TEST_F(PasswordCryptorTest, StretchingMatchesKnownAnswer) {
    // Expected digest computed with another SHA-256 implementation.
    const Bytes secret = concat({kBadgeUID, toBytes("1234"), toBytes("C02XK0ABJGH5")});
    const StretchedSecret result =
        PasswordCryptor{}.hashSecretWithKeyStretchingAndSalt(keychain, secret, kSalt);
    EXPECT_EQ(result.hashedValue.bytes(),
              fromHex("1e5c1583339c6cb9f55c544ae40173670e81012f20172286b4497f2123d0cbf0"));
    EXPECT_EQ(result.salt, kSalt);
    EXPECT_EQ(keychain.randomCalls, 0);
}

TEST_F(PasswordCryptorTest, StretchingMatchesPlainLoopForOddLengths) {
    // Empty inputs, and a salt that is not 16 bytes long (used unchanged).
    for (const auto& [secret, salt] : std::vector<std::pair<Bytes, Bytes>>{
             {Bytes(), Bytes()}, {Bytes(200, 0xAB), Bytes(3, 0x01)}}) {
        const StretchedSecret result =
            PasswordCryptor{}.hashSecretWithKeyStretchingAndSalt(secret, salt);
        EXPECT_EQ(result.hashedValue.bytes(), referenceStretch(secret, salt));
        EXPECT_EQ(result.salt, salt);
    }
}

TEST_F(PasswordCryptorTest, StretchingDrawsAFreshSaltWhenNoneIsGiven) {
    const Bytes secret = toBytes("secret");
    const StretchedSecret first =
        PasswordCryptor{}.hashSecretWithKeyStretchingAndSalt(keychain, secret, std::nullopt);
    const StretchedSecret second =
        PasswordCryptor{}.hashSecretWithKeyStretchingAndSalt(keychain, secret, std::nullopt);
    EXPECT_EQ(first.salt.size(), kStretchSaltLength);
    EXPECT_NE(first.salt, second.salt);
    EXPECT_NE(first.hashedValue.bytes(), second.hashedValue.bytes());
    EXPECT_EQ(first.hashedValue.bytes(), referenceStretch(secret, first.salt));
}

TEST_F(PasswordCryptorTest, RandomFailureIsReported) {
    keychain.randomFailure = errSecAllocate;
    try {
        (void)PasswordCryptor{}.hashSecretWithKeyStretchingAndSalt(keychain, Bytes(), std::nullopt);
        ADD_FAILURE() << "no error";
    } catch (const PasswordCryptorError& error) {
        EXPECT_EQ(error,
                  PasswordCryptorError(PasswordCryptorError::Case::randomNumberGeneratingError));
    }
    // The same through encryption; a given salt needs no generator.
    EXPECT_THROW((void)passwordEncrypt(ctx, toBytes("pw"), kBadgeUID, "1234"),
                 PasswordCryptorError);
    EXPECT_NO_THROW((void)keyForAES(ctx, kBadgeUID, kSalt, "1234"));
}

TEST(KeyMaterialTest, PadsTheUIDAndJoinsPINAndSerial) {
    const std::string serial = "SERIAL";
    struct Row {
        Bytes uid;
        std::optional<std::string> pin;
        Bytes expected;
    };
    const std::vector<Row> rows = {
        {Bytes(), std::nullopt, concat({Bytes(7, 0), toBytes(serial)})},
        {Bytes(6, 0xAA), std::nullopt, concat({Bytes(6, 0xAA), Bytes{0}, toBytes(serial)})},
        {Bytes(7, 0xAA), "12", concat({Bytes(7, 0xAA), toBytes("12"), toBytes(serial)})},
        {Bytes(10, 0xAA), "", concat({Bytes(10, 0xAA), toBytes(serial)})},  // never cut
        // A PIN that is not UTF-8 adds nothing.
        {Bytes(7, 0xAA), std::string("\xff\xfe"), concat({Bytes(7, 0xAA), toBytes(serial)})},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(aesKeyMaterial(row.uid, row.pin, serial).bytes(), row.expected);
    }
    // No PIN and an empty PIN are the same.
    EXPECT_EQ(aesKeyMaterial(kBadgeUID, std::nullopt, serial).bytes(),
              aesKeyMaterial(kBadgeUID, "", serial).bytes());
    // Parts are joined without separators: 7-byte UID + 1-byte PIN equals
    // the 8-byte UID of the same bytes without PIN.
    EXPECT_EQ(aesKeyMaterial(kBadgeUID, "7", serial).bytes(),
              aesKeyMaterial(concat({kBadgeUID, toBytes("7")}), std::nullopt, serial).bytes());
}

TEST_F(PasswordCryptorTest, KeyForAESStretchesTheMaterialWithTheMachineSerial) {
    const AESKeyAndSalt key = keyForAES(ctx, kBadgeUID, kSalt, "1234");
    EXPECT_EQ(key.salt, kSalt);
    EXPECT_EQ(key.key.bytes(),
              referenceStretch(concat({kBadgeUID, toBytes("1234"), toBytes(kTestSerial)}), kSalt));

    const AESKeyAndSalt fresh = keyForAES(ctx, kBadgeUID, std::nullopt, std::nullopt);
    EXPECT_EQ(fresh.salt.size(), kStretchSaltLength);
    EXPECT_EQ(fresh.key.size(), kDigestLength);
}

TEST_F(PasswordCryptorTest, MissingSerialFailsEncryption) {
    removeSerial();
    LogCapture capture;
    try {
        (void)keyForAES(ctx, kBadgeUID, kSalt, "1234");
        ADD_FAILURE() << "no error";
    } catch (const SecretKeeperError& error) {
        EXPECT_EQ(error.kind(), SecretKeeperError::Case::aesEncryptionError);
    }
    ASSERT_EQ(capture.lines().size(), 1U) << capture.dump();
    EXPECT_EQ(capture.lines()[0].level, kLogLevelDebug);
    EXPECT_THAT(capture.lines()[0].text,
                ::testing::HasSubstr("keyForAES(rfidUID:salt:pin:) serial number error"));
    EXPECT_THROW((void)passwordEncrypt(ctx, Bytes(), Bytes(), std::nullopt), SecretKeeperError);
}

TEST_F(PasswordCryptorTest, EncryptedPasswordLayout) {
    const Bytes empty = passwordEncrypt(ctx, Bytes(), Bytes(), std::nullopt);
    EXPECT_EQ(empty.size(), 44U);

    const Bytes clear = toBytes("correct horse");
    const Bytes first = passwordEncrypt(ctx, clear, kBadgeUID, "1234");
    const Bytes second = passwordEncrypt(ctx, clear, kBadgeUID, "1234");
    ASSERT_EQ(first.size(), 44U + clear.size());
    ASSERT_EQ(second.size(), first.size());
    // Fresh salt and fresh nonce each time.
    EXPECT_NE(Bytes(first.begin(), first.begin() + 16), Bytes(second.begin(), second.begin() + 16));
    EXPECT_NE(Bytes(first.begin() + 16, first.begin() + 28),
              Bytes(second.begin() + 16, second.begin() + 28));
    // The salt at the front is the one the key was stretched with.
    const Bytes salt(first.begin(), first.begin() + 16);
    const AESKeyAndSalt key = keyForAES(ctx, kBadgeUID, salt, "1234");
    EXPECT_EQ(key.salt, salt);
}

TEST_F(PasswordCryptorTest, SealedPasswordOpensOnlyWithTheSameInputs) {
    const Bytes clear = toBytes("hunter2");
    const Bytes sealed = passwordEncrypt(ctx, clear, kBadgeUID, "1234");
    EXPECT_EQ(passwordDecrypt(ctx, sealed, kBadgeUID, "1234"), clear);

    EXPECT_EQ(passwordDecrypt(ctx, sealed, fromHex("04a2243b6c5281"), "1234"), std::nullopt);
    EXPECT_EQ(passwordDecrypt(ctx, sealed, kBadgeUID, "1235"), std::nullopt);
    EXPECT_EQ(passwordDecrypt(ctx, sealed, kBadgeUID, std::nullopt), std::nullopt);
    Bytes tampered = sealed;
    tampered[30] ^= 0x01;
    EXPECT_EQ(passwordDecrypt(ctx, tampered, kBadgeUID, "1234"), std::nullopt);

    setSerial("another-machine-serial");
    EXPECT_EQ(passwordDecrypt(ctx, sealed, kBadgeUID, "1234"), std::nullopt);
    setSerial(kTestSerial);

    // Empty clear text, empty UID and no PIN open the same way.
    const Bytes emptySealed = passwordEncrypt(ctx, Bytes(), Bytes(), std::nullopt);
    EXPECT_EQ(passwordDecrypt(ctx, emptySealed, Bytes(), std::nullopt), Bytes());
    EXPECT_EQ(passwordDecrypt(ctx, emptySealed, Bytes(7, 0), ""), Bytes());  // same material
    EXPECT_EQ(passwordDecrypt(ctx, emptySealed, Bytes(1, 0), "x"), std::nullopt);
}

}  // namespace
}  // namespace lockstep::testing
