// LUKS1 and LUKS2 images in temporary files, through libcryptsetup: which
// keyslot a password opens, enabled accounts and their tokens, adding and
// removing them.

#include "fdesetup/luks.h"

#include <gtest/gtest.h>
#include <libcryptsetup.h>

#include "machine_fixture.h"
#include "support/temp_dir.h"

namespace lockstep::fde {
namespace {

using testing::makeLuksImage;
using testing::secret;

class LuksTest : public ::testing::TestWithParam<int> {
  protected:
    LuksVolume open() {
        std::string problem;
        auto volume = LuksVolume::open(path_, &problem);
        if (!volume) {
            throw std::runtime_error(problem);
        }
        return std::move(*volume);
    }

    lockstep::testing::TempDir dir_;
    std::filesystem::path path_ = dir_ / "volume.img";
    int version_ = GetParam();
    std::string uuid_ = makeLuksImage(path_, version_, "disk passphrase");
};

TEST_P(LuksTest, OpensOnlyTheKeyslotOfTheRightPassphrase) {
    const LuksVolume volume = open();
    EXPECT_EQ(volume.version(), version_);
    EXPECT_EQ(volume.uuid(), uuid_);
    EXPECT_EQ(volume.openingKeyslot(secret("disk passphrase")), 0);
    EXPECT_EQ(volume.openingKeyslot(secret("disk passphrase"), 0), 0);
    EXPECT_EQ(volume.openingKeyslot(secret("disk passphrase "), -1), std::nullopt);
    EXPECT_EQ(volume.openingKeyslot(secret("")), std::nullopt);
    EXPECT_EQ(volume.openingKeyslot(secret("disk passphrase"), 3), std::nullopt);
    // No account enabled: any keyslot serves.
    EXPECT_EQ(volume.keyslotFor("alice"), -1);
}

TEST_P(LuksTest, AddedAccountGetsAKeyslotWithTheSameKeyDerivationAndAToken) {
    LuksVolume volume = open();
    std::string problem;
    const auto slot =
        volume.addUser("alice", secret("disk passphrase"), secret("alice's login"), &problem);
    ASSERT_TRUE(slot) << problem;
    EXPECT_NE(*slot, 0);

    LuksVolume reopened = open();
    EXPECT_EQ(reopened.openingKeyslot(secret("alice's login")), slot);
    EXPECT_EQ(reopened.openingKeyslot(secret("disk passphrase")), 0);
    crypt_pbkdf_type original{};
    crypt_pbkdf_type added{};
    crypt_device* cd = nullptr;
    ASSERT_EQ(crypt_init(&cd, path_.c_str()), 0);
    ASSERT_EQ(crypt_load(cd, CRYPT_LUKS, nullptr), 0);
    ASSERT_EQ(crypt_keyslot_get_pbkdf(cd, 0, &original), 0);
    ASSERT_EQ(crypt_keyslot_get_pbkdf(cd, *slot, &added), 0);
    EXPECT_STREQ(added.type, original.type);
    EXPECT_EQ(added.iterations, original.iterations);
    crypt_free(cd);

    if (version_ == 2) {
        ASSERT_EQ(reopened.enabledUsers().size(), 1U);
        EXPECT_EQ(reopened.enabledUsers()[0].name, "alice");
        EXPECT_EQ(reopened.keyslotFor("alice"), slot);
        // Once an account is enabled, the others are not.
        EXPECT_EQ(reopened.keyslotFor("bob"), std::nullopt);
    } else {
        // LUKS1 has no tokens: any keyslot still serves.
        EXPECT_TRUE(reopened.enabledUsers().empty());
        EXPECT_EQ(reopened.keyslotFor("bob"), -1);
    }
}

TEST_P(LuksTest, AddingNeedsAPassphraseThatOpensTheVolume) {
    LuksVolume volume = open();
    std::string problem;
    EXPECT_FALSE(volume.addUser("alice", secret("guess"), secret("alice's login"), &problem));
    EXPECT_EQ(problem, "the passphrase does not open the volume");
    EXPECT_EQ(open().activeKeyslots(), std::vector<int>{0});
}

TEST(LuksTokens, RemovingTakesKeyslotAndTokenAndNeverTheLastKeyslot) {
    lockstep::testing::TempDir dir;
    const auto path = dir / "volume.img";
    makeLuksImage(path, 2, "disk passphrase");
    std::string problem;
    auto volume = LuksVolume::open(path, &problem);
    ASSERT_TRUE(volume) << problem;
    const auto alice = volume->addUser("alice", secret("disk passphrase"), secret("a"), &problem);
    const auto bob = volume->addUser("bob", secret("disk passphrase"), secret("b"), &problem);
    ASSERT_TRUE(alice && bob) << problem;
    // Enabling alice again replaces her keyslot.
    const auto again = volume->addUser("alice", secret("b"), secret("a2"), &problem);
    ASSERT_TRUE(again) << problem;
    EXPECT_EQ(volume->openingKeyslot(secret("a")), std::nullopt);
    EXPECT_EQ(volume->enabledUsers().size(), 2U);

    testing::destroyKeyslot(path, 0);
    volume = LuksVolume::open(path, &problem);

    EXPECT_TRUE(volume->removeUser("alice", &problem)) << problem;
    EXPECT_EQ(volume->openingKeyslot(secret("a2")), std::nullopt);
    EXPECT_FALSE(volume->removeUser("alice", &problem));
    EXPECT_EQ(problem, "alice is not enabled");
    EXPECT_FALSE(volume->removeUser("bob", &problem));
    EXPECT_EQ(problem, "it is the last keyslot that opens the volume");
    EXPECT_EQ(volume->openingKeyslot(secret("b")), bob);
}

TEST(LuksTokens, TokenOfADestroyedKeyslotOrOfAnotherTypeIsNoEnabledAccount) {
    lockstep::testing::TempDir dir;
    const auto path = dir / "volume.img";
    makeLuksImage(path, 2, "disk passphrase");
    std::string problem;
    auto volume = LuksVolume::open(path, &problem);
    const auto alice = volume->addUser("alice", secret("disk passphrase"), secret("a"), &problem);
    ASSERT_TRUE(alice);
    crypt_device* cd = nullptr;
    ASSERT_EQ(crypt_init(&cd, path.c_str()), 0);
    ASSERT_EQ(crypt_load(cd, CRYPT_LUKS, nullptr), 0);
    ASSERT_GE(crypt_token_json_set(cd, CRYPT_ANY_TOKEN,
                                   R"({"type":"other-tool","keyslots":["0"],"user":"bob"})"),
              0);
    ASSERT_EQ(crypt_keyslot_destroy(cd, *alice), 0);
    crypt_free(cd);
    volume = LuksVolume::open(path, &problem);
    EXPECT_TRUE(volume->enabledUsers().empty());
}

TEST(LuksOpen, SomethingElseIsNotAVolume) {
    lockstep::testing::TempDir dir;
    lockstep::testing::writeFile(dir / "plain.img", std::string(1 << 20, 'x'));
    std::string problem;
    EXPECT_FALSE(LuksVolume::open(dir / "plain.img", &problem));
    EXPECT_NE(problem.find("is not a LUKS volume"), std::string::npos);
    EXPECT_FALSE(LuksVolume::open(dir / "missing.img", &problem));
}

INSTANTIATE_TEST_SUITE_P(Versions, LuksTest, ::testing::Values(1, 2),
                         [](const auto& param) { return "LUKS" + std::to_string(param.param); });

}  // namespace
}  // namespace lockstep::fde
