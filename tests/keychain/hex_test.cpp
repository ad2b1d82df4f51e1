#include "keychain/hex.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace lockstep::testing {
namespace {

TEST(HexTest, EncodesLowerCaseDigitPairs) {
    EXPECT_EQ(hexEncode(Bytes{0x0A, 0xFF}), "0aff");
    EXPECT_EQ(hexEncode(Bytes{0x00, 0x01, 0x7F, 0x80, 0xC3}), "00017f80c3");
    EXPECT_EQ(hexEncode(Bytes{}), "");
}

struct DecodeCase {
    std::string text;
    std::optional<Bytes> expected;
};

TEST(HexTest, DecodesPairsAndRejectsAnythingElse) {
    const DecodeCase cases[] = {
        {"0aff", Bytes{0x0A, 0xFF}},  {"0AFF", Bytes{0x0A, 0xFF}},
        {"0aFf", Bytes{0x0A, 0xFF}},  {"", Bytes{}},
        {"00", Bytes{0x00}},          {"0af", std::nullopt},  // odd number of digits
        {"0g", std::nullopt},                                 // not a digit
        {"0 ", std::nullopt},                                 // blank
        {"+1", std::nullopt},                                 // sign
        {"0x0a", std::nullopt},                               // prefix
        {"g0", std::nullopt},                                 // bad high digit
        {"0a\xc3\xa9", std::nullopt},
    };
    for (const DecodeCase& c : cases) {
        EXPECT_EQ(hexDecode(c.text), c.expected) << "text: \"" << c.text << "\"";
    }
}

TEST(HexTest, EveryByteRoundTrips) {
    Bytes all;
    for (int i = 0; i < 256; ++i) {
        all.push_back(static_cast<std::uint8_t>(i));
    }
    const std::string text = hexEncode(all);
    ASSERT_EQ(text.size(), 512U);
    EXPECT_EQ(text.substr(0, 6), "000102");
    EXPECT_EQ(text.substr(506), "fdfeff");
    EXPECT_EQ(hexDecode(text), all);
}

}  // namespace
}  // namespace lockstep::testing
