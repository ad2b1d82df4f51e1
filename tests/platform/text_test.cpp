#include "platform/text.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

namespace lockstep::testing {
namespace {

TEST(Utf8Test, ValidatesDecodesAndReplacesIllFormedSequences) {
    const std::string mixed = "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // 2-, 3- and 4-byte
    // '?' stands for U+FFFD: one for each maximal ill-formed subpart, and one
    // for each byte that starts no well-formed sequence. Well-formed text comes
    // back unchanged; then: cut short at the end and before ASCII, overlong
    // NUL, surrogate, past U+10FFFF, lone continuation byte.
    struct Case {
        std::string input, bySubpart, byByte;
    };
    const std::vector<Case> cases{{"", "", ""},
                                  {"plain", "plain", "plain"},
                                  {mixed, mixed, mixed},
                                  {"a\xFFz", "a?z", "a?z"},
                                  {"\xE2\x82", "?", "??"},
                                  {"\xE2\x82z", "?z", "??z"},
                                  {"\xC0\x80", "??", "??"},
                                  {"\xED\xA0\x80", "???", "???"},
                                  {"\xF4\x90\x80\x80", "????", "????"},
                                  {"\x80", "?", "?"}};
    const auto replaced = [](const std::string& pattern) {
        return std::regex_replace(pattern, std::regex("\\?"), "\xEF\xBF\xBD");
    };
    for (const Case& c : cases) {
        EXPECT_EQ(isValidUtf8(c.input), c.input == c.bySubpart) << c.input;
        EXPECT_EQ(decodeUtf8Lossy(toBytes(c.input)), replaced(c.bySubpart)) << c.input;
        EXPECT_EQ(toValidUtf8(c.input), replaced(c.byByte)) << c.input;
    }
    const std::string text = "A" + mixed;
    std::string_view rest = text;
    std::vector<char32_t> codePoints;
    while (!rest.empty()) {
        codePoints.push_back(takeCodePoint(rest));
    }
    EXPECT_EQ(codePoints, (std::vector<char32_t>{U'A', U'\u00E9', U'\u20AC', U'\U0001F600'}));
    EXPECT_FALSE(isUtf8WithoutNul(std::string("a\0b", 3)));
}

TEST(HexTest, EncodesLowerCaseAndDecodesEitherCase) {
    EXPECT_EQ(hexEncode(Bytes{0x0a, 0xff, 0x00}), "0aff00");
    std::string upper;
    appendHexByte(upper, 0xab, HexCase::Upper);
    EXPECT_EQ(upper, "AB");
    EXPECT_EQ(hexDecode("0aFf"), (Bytes{0x0a, 0xff}));
    for (const char* bad : {"0", "0g", "+1", " 1"}) {
        EXPECT_EQ(hexDecode(bad), std::nullopt) << bad;
    }
}

}  // namespace
}  // namespace lockstep::testing
