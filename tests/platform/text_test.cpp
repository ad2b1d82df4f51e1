#include "platform/text.h"

#include <gtest/gtest.h>

#include <regex>

namespace lockstep::testing {
namespace {

TEST(TextTest, Utf8IsValidatedDecodedAndRepairedAndHexRoundTrips) {
    const std::string mixed = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // 1-, 2-, 3- and 4-byte
    // Input, then '?' for U+FFFD: one for each maximal ill-formed subpart, and
    // one for each byte that starts no well-formed sequence. Cut short at the
    // end and before ASCII, overlong NUL, surrogate, past U+10FFFF.
    const std::string cases[][3] = {
        {mixed, mixed, mixed},          {"a\xFFz", "a?z", "a?z"},
        {"\xE2\x82z", "?z", "??z"},     {"\xC0\x80", "??", "??"},
        {"\xED\xA0\x80", "???", "???"}, {"\xF4\x90\x80\x80", "????", "????"}};
    const auto replaced = [](const std::string& pattern) {
        return std::regex_replace(pattern, std::regex("\\?"), "\xEF\xBF\xBD");
    };
    for (const auto& [input, bySubpart, byByte] : cases) {
        EXPECT_EQ(isValidUtf8(input), input == bySubpart) << input;
        EXPECT_EQ(decodeUtf8Lossy(toBytes(input)), replaced(bySubpart)) << input;
        EXPECT_EQ(toValidUtf8(input), replaced(byByte)) << input;
    }
    std::string_view rest = mixed;
    std::u32string codePoints;
    while (!rest.empty()) {
        codePoints.push_back(takeCodePoint(rest));
    }
    EXPECT_EQ(codePoints, U"A\u00E9\u20AC\U0001F600");
    EXPECT_FALSE(isUtf8WithoutNul(std::string("a\0b", 3)));
    std::string hex = hexEncode(Bytes{0x0a, 0xff, 0x00});
    appendHexByte(hex, 0xab, HexCase::Upper);
    EXPECT_EQ(hex, "0aff00AB");
    EXPECT_EQ(hexDecode("0aFf"), (Bytes{0x0a, 0xff}));
    EXPECT_FALSE(hexDecode("0") || hexDecode("0g") || hexDecode("+1"));
}

}  // namespace
}  // namespace lockstep::testing
