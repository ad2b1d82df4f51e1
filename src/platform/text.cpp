#include "platform/text.h"

namespace lockstep {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// How a lossy decoding steps past an ill-formed sequence.
enum class Replace { MaximalSubpart, EachByte };

std::string replaceIllFormed(std::string_view text, Replace step) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const Utf8Sequence sequence = scanUtf8(text);
        if (sequence.wellFormed) {
            out.append(text.substr(0, sequence.length));
            text.remove_prefix(sequence.length);
        } else {
            out += kReplacement;
            text.remove_prefix(step == Replace::EachByte ? 1 : sequence.length);
        }
    }
    return out;
}

// The value of one hexadecimal digit, or -1 for any other character.
int digitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

Utf8Sequence scanUtf8(std::string_view text) noexcept {
    const auto byte = [&text](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::uint8_t lead = byte(0);
    if (lead < 0x80) {
        return {1, true};
    }
    std::size_t length = 0;
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead == 0xE0) {
        length = 3;
        low = 0xA0;  // no overlong forms
    } else if ((lead >= 0xE1 && lead <= 0xEC) || lead == 0xEE || lead == 0xEF) {
        length = 3;
    } else if (lead == 0xED) {
        length = 3;
        high = 0x9F;  // no surrogates
    } else if (lead == 0xF0) {
        length = 4;
        low = 0x90;
    } else if (lead >= 0xF1 && lead <= 0xF3) {
        length = 4;
    } else if (lead == 0xF4) {
        length = 4;
        high = 0x8F;  // nothing past U+10FFFF
    } else {
        return {1, false};
    }
    for (std::size_t i = 1; i < length; ++i) {
        if (i >= text.size() || byte(i) < low || byte(i) > high) {
            return {i, false};
        }
        low = 0x80;
        high = 0xBF;
    }
    return {length, true};
}

char32_t utf8CodePoint(std::string_view sequence) noexcept {
    const auto lead = static_cast<std::uint8_t>(sequence[0]);
    static constexpr std::uint8_t kLeadBits[] = {0x7F, 0x1F, 0x0F, 0x07};
    const std::size_t length = std::min<std::size_t>(sequence.size(), 4);
    char32_t codePoint = lead & kLeadBits[length - 1];
    for (std::size_t i = 1; i < length; ++i) {
        codePoint = (codePoint << 6U) | (static_cast<std::uint8_t>(sequence[i]) & 0x3FU);
    }
    return codePoint;
}

char32_t takeCodePoint(std::string_view& text) noexcept {
    const std::size_t length = scanUtf8(text).length;
    const char32_t codePoint = utf8CodePoint(text.substr(0, length));
    text.remove_prefix(length);
    return codePoint;
}

bool isValidUtf8(std::string_view text) noexcept {
    while (!text.empty()) {
        const Utf8Sequence sequence = scanUtf8(text);
        if (!sequence.wellFormed) {
            return false;
        }
        text.remove_prefix(sequence.length);
    }
    return true;
}

bool isUtf8WithoutNul(std::string_view text) noexcept {
    return text.find('\0') == std::string_view::npos && isValidUtf8(text);
}

std::string decodeUtf8Lossy(std::span<const std::uint8_t> bytes) {
    return replaceIllFormed(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
        Replace::MaximalSubpart);
}

std::string toValidUtf8(std::string_view text) {
    return replaceIllFormed(text, Replace::EachByte);
}

void appendHexByte(std::string& out, std::uint8_t byte, HexCase letters) {
    const std::string_view digits =
        letters == HexCase::Lower ? "0123456789abcdef" : "0123456789ABCDEF";
    out += digits[byte >> 4U];
    out += digits[byte & 0x0FU];
}

std::string hexEncode(std::span<const std::uint8_t> bytes) {
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t byte : bytes) {
        appendHexByte(text, byte);
    }
    return text;
}

std::optional<Bytes> hexDecode(std::string_view text) {
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    Bytes bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = digitValue(text[i]);
        const int low = digitValue(text[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<std::uint8_t>((high << 4) | low));
    }
    return bytes;
}

}  // namespace lockstep
