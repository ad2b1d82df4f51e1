// LUKS1 and LUKS2 images through libcryptsetup: which keyslot a password
// opens, enabled accounts and their tokens.

#include "fdesetup/luks.h"

#include <gtest/gtest.h>
#include <libcryptsetup.h>

#include "machine_fixture.h"
#include "support/temp_dir.h"

namespace lockstep::fde {
namespace {

using testing::secret;

class LuksTest : public ::testing::TestWithParam<int> {
  protected:
    LuksVolume open() {
        std::string problem;
        auto volume = LuksVolume::open(path_, &problem);
        EXPECT_TRUE(volume) << problem;
        return std::move(*volume);
    }
    // The key derivation of a keyslot.
    std::pair<std::string, std::uint32_t> pbkdf(int slot) {
        crypt_device* cd = nullptr;
        crypt_pbkdf_type type{};
        EXPECT_EQ(crypt_init(&cd, path_.c_str()), 0);
        EXPECT_EQ(crypt_load(cd, CRYPT_LUKS, nullptr), 0);
        EXPECT_EQ(crypt_keyslot_get_pbkdf(cd, slot, &type), 0);
        crypt_free(cd);
        return {type.type, type.iterations};
    }

    lockstep::testing::TempDir dir_;
    std::filesystem::path path_ = dir_ / "volume.img";
    std::string uuid_ = testing::makeLuksImage(path_, GetParam(), "disk passphrase");
};

TEST_P(LuksTest, AddedAccountOpensItsOwnKeyslotMadeLikeTheOthers) {
    LuksVolume volume = open();
    EXPECT_EQ(std::tuple(volume.version(), volume.uuid()), std::tuple(GetParam(), uuid_));
    EXPECT_EQ(volume.openingKeyslot(secret("disk passphrase"), 3), std::nullopt);
    EXPECT_EQ(volume.keyslotFor("alice"), -1);  // none enabled: any keyslot serves
    std::string problem;
    EXPECT_FALSE(volume.addUser("alice", secret("guess"), secret("a"), &problem));
    EXPECT_EQ(problem, "the passphrase does not open the volume");
    const auto slot = volume.addUser("alice", secret("disk passphrase"), secret("a"), &problem);
    ASSERT_TRUE(slot) << problem;

    const LuksVolume reopened = open();
    EXPECT_EQ(reopened.openingKeyslot(secret("a")), slot);
    EXPECT_EQ(reopened.openingKeyslot(secret("disk passphrase")), 0);
    EXPECT_EQ(pbkdf(*slot), pbkdf(0));
    // LUKS1 has no tokens: any keyslot still serves. With LUKS2 only the
    // enabled accounts do.
    EXPECT_EQ(reopened.keyslotFor("alice"), GetParam() == 1 ? -1 : *slot);
    EXPECT_EQ(reopened.keyslotFor("bob"), GetParam() == 1 ? std::optional(-1) : std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Versions, LuksTest, ::testing::Values(1, 2),
                         [](const auto& param) { return "LUKS" + std::to_string(param.param); });

TEST(LuksTokens, OnlyTokensOfLiveKeyslotsOfThisToolEnableAccounts) {
    lockstep::testing::TempDir dir;
    const auto path = dir / "volume.img";
    testing::makeLuksImage(path, 2, "disk passphrase");
    std::string problem;
    auto volume = LuksVolume::open(path, &problem);
    const auto alice = volume->addUser("alice", secret("disk passphrase"), secret("a"), &problem);
    ASSERT_TRUE(alice && volume->addUser("bob", secret("a"), secret("b"), &problem)) << problem;
    // Enabling alice again replaces her keyslot.
    ASSERT_TRUE(volume->addUser("alice", secret("b"), secret("a2"), &problem)) << problem;
    EXPECT_EQ(volume->openingKeyslot(secret("a")), std::nullopt);
    EXPECT_EQ(volume->enabledUsers().size(), 2U);

    crypt_device* cd = nullptr;
    ASSERT_EQ(crypt_init(&cd, path.c_str()), 0);
    ASSERT_EQ(crypt_load(cd, CRYPT_LUKS, nullptr), 0);
    ASSERT_GE(crypt_token_json_set(cd, CRYPT_ANY_TOKEN,
                                   R"({"type":"other-tool","keyslots":["0"],"user":"carol"})"),
              0);
    ASSERT_EQ(crypt_keyslot_destroy(cd, *volume->keyslotFor("bob")), 0);
    ASSERT_EQ(crypt_keyslot_destroy(cd, 0), 0);
    crypt_free(cd);
    volume = LuksVolume::open(path, &problem);
    ASSERT_EQ(volume->enabledUsers().size(), 1U);
    EXPECT_EQ(volume->enabledUsers()[0].name, "alice");
    EXPECT_FALSE(volume->removeUser("alice", &problem));
    EXPECT_EQ(problem, "it is the last keyslot that opens the volume");

    lockstep::testing::writeFile(dir / "plain.img", std::string(1 << 20, 'x'));
    EXPECT_FALSE(LuksVolume::open(dir / "plain.img", &problem));
    EXPECT_NE(problem.find("is not a LUKS volume"), std::string::npos);
}

}  // namespace
}  // namespace lockstep::fde
