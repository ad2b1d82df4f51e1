#include "secrets/secret_keeper.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "secrets_fixture.h"

namespace lockstep::testing {
namespace {

namespace fs = std::filesystem;
using Case = SecretKeeperError::Case;

class SecretKeeperTest : public SecretsTest {};

TEST_F(SecretKeeperTest, KeepsLabelAndTagAndNamesTheSecretsFile) {
    const SecretKeeper keeper(keychain, "SecretKeeper", "SecretKeeper", "/usr/local/var/meridale");
    EXPECT_EQ(keeper.label(), "SecretKeeper");
    EXPECT_EQ(keeper.tag(), toBytes("SecretKeeper"));
    EXPECT_EQ(keeper.secretsFolderURL, fs::path("/usr/local/var/meridale"));
    EXPECT_EQ(keeper.secretsFileURL, fs::path("/usr/local/var/meridale/secrets.bin"));

    const SecretKeeper slashed(keychain, "l", "t", "/usr/local/var/meridale/");
    EXPECT_EQ(slashed.secretsFolderURL, fs::path("/usr/local/var/meridale/"));
    EXPECT_EQ(slashed.secretsFileURL, fs::path("/usr/local/var/meridale/secrets.bin"));
}

TEST_F(SecretKeeperTest, EmptyTagIsValid) {
    const SecretKeeper keeper(keychain, "label", "", temp.path());
    EXPECT_TRUE(keeper.tag().empty());
}

TEST_F(SecretKeeperTest, TagMustBeUTF8) {
    for (const char* valid : {"caf\xc3\xa9", "\xf0\x9f\x94\x91", "\xef\xbf\xbf"}) {
        EXPECT_EQ(SecretKeeper(keychain, "l", valid, temp.path()).tag(), toBytes(valid));
    }
    for (const std::string& invalid : {
             std::string("\xff"),              // never a UTF-8 byte
             std::string("\x80rest"),          // stray continuation byte
             std::string("\xc0\xaf"),          // overlong "/"
             std::string("\xe0\x80\xaf"),      // overlong, three bytes
             std::string("\xed\xa0\x80"),      // UTF-16 surrogate
             std::string("\xf4\x90\x80\x80"),  // above U+10FFFF
             std::string("ok\xe2\x82"),        // cut short
         }) {
        try {
            const SecretKeeper keeper(keychain, "l", invalid, temp.path());
            ADD_FAILURE() << "accepted an invalid tag";
        } catch (const SecretKeeperError& error) {
            EXPECT_EQ(error.kind(), Case::invalidTag);
        }
    }
}

TEST_F(SecretKeeperTest, NeitherConstructionNorSystemKeychainTouchesTheSecretsFolder) {
    const fs::path folder = temp / "missing/meridale";
    const SecretKeeper keeper(keychain, "SecretKeeper", "SecretKeeper", folder);
    EXPECT_EQ(keeper.secretsFileURL, folder / "secrets.bin");
    const SecKeychainRef system = keeper.systemKeychain();
    EXPECT_NE(system, nullptr);
    EXPECT_FALSE(fs::exists(temp / "missing"));

    // An existing folder is neither read nor written either.
    fs::create_directories(temp / "existing");
    const SecretKeeper other(keychain, "other", "", temp / "existing");
    EXPECT_NE(other.systemKeychain(), nullptr);
    EXPECT_TRUE(fs::is_empty(temp / "existing"));
}

TEST_F(SecretKeeperTest, SystemKeychainIsTheSystemDomainDefault) {
    const SecretKeeper keeper(keychain, "a", "b", temp / "one");
    const SecretKeeper other(keychain, "c", "", temp / "two");
    const SecKeychainRef first = keeper.systemKeychain();
    const SecKeychainRef second = other.systemKeychain();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(fs::exists(temp / "keychains/System.keychain"));
    EXPECT_FALSE(fs::exists(temp / "keychains/login.keychain"));
}

TEST_F(SecretKeeperTest, SystemKeychainFailures) {
    const SecretKeeper keeper(keychain, "SecretKeeper", "SecretKeeper", temp.path());

    // A failed lookup fails even when the service handed something back.
    SecKeychainRef leftover;
    ASSERT_EQ(realKeychain.SecKeychainCopyDomainDefault(kSecPreferencesDomainSystem, &leftover),
              errSecSuccess);
    keychain.domainDefaultStatus = errSecNoSuchKeychain;
    keychain.domainDefaultKeychain = leftover;
    try {
        (void)keeper.systemKeychain();
        ADD_FAILURE() << "no error";
    } catch (const SecretKeeperError& error) {
        EXPECT_EQ(error.kind(), Case::errorFindingKey);
    }

    keychain.domainDefaultStatus = errSecSuccess;
    keychain.domainDefaultKeychain = nullptr;
    try {
        (void)keeper.systemKeychain();
        ADD_FAILURE() << "no error";
    } catch (const SecretKeeperError& error) {
        EXPECT_EQ(error.kind(), Case::unknownError);
    }
}

TEST(SecretKeeperErrorTest, CasesKeepTheirOrderAndText) {
    const SecretKeeperError other = SecretKeeperError::otherError("error converting password");
    EXPECT_EQ(other.kind(), Case::otherError);
    EXPECT_EQ(other.text(), "error converting password");
    EXPECT_EQ(other.code(), 1);
    EXPECT_STREQ(other.what(), "SecretKeeperError.otherError(error converting password)");
    EXPECT_EQ(SecretKeeperError(Case::errorCreatingKey).code(), 0);
    EXPECT_EQ(SecretKeeperError(Case::invalidTag).code(), 9);
    EXPECT_EQ(SecretKeeperError(Case::aesDecryptionError).code(), 14);
    EXPECT_STREQ(SecretKeeperError(Case::aesEncryptionError).what(),
                 "SecretKeeperError.aesEncryptionError");
}

}  // namespace
}  // namespace lockstep::testing
