#pragma once

// Text encodings used across the layers: UTF-8 checking and decoding, and
// hexadecimal.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/bytes.h"

namespace lockstep {

// The UTF-8 sequence at the start of non-empty `text`. A well-formed one
// (no overlong forms, surrogates or values past U+10FFFF, RFC 3629) gives its
// length; an ill-formed one gives the length of its maximal subpart, at least
// one byte.
struct Utf8Sequence {
    std::size_t length;
    bool wellFormed;
};
[[nodiscard]] Utf8Sequence scanUtf8(std::string_view text) noexcept;

// The code point of `sequence`, exactly one well-formed sequence.
[[nodiscard]] char32_t utf8CodePoint(std::string_view sequence) noexcept;

// Takes the first code point off non-empty, well-formed UTF-8 text.
[[nodiscard]] char32_t takeCodePoint(std::string_view& text) noexcept;

// Whether the bytes are well-formed UTF-8 throughout.
[[nodiscard]] bool isValidUtf8(std::string_view text) noexcept;
[[nodiscard]] inline bool isValidUtf8(std::span<const std::uint8_t> bytes) noexcept {
    return isValidUtf8(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

// Whether the text is well-formed UTF-8 without NUL bytes: what an interface
// that takes UTF-8 C strings (libplist) carries through unchanged.
[[nodiscard]] bool isUtf8WithoutNul(std::string_view text) noexcept;

// Decodes bytes as UTF-8, replacing each ill-formed sequence (its maximal
// subpart, as Unicode recommends) with U+FFFD. Valid input comes back
// unchanged.
[[nodiscard]] std::string decodeUtf8Lossy(std::span<const std::uint8_t> bytes);

// `text` with every byte that starts no well-formed sequence replaced by
// U+FFFD (one replacement a byte), for writers that can only carry UTF-8.
[[nodiscard]] std::string toValidUtf8(std::string_view text);

// One byte as two hexadecimal digits, appended to `out`.
enum class HexCase { Lower, Upper };
void appendHexByte(std::string& out, std::uint8_t byte, HexCase letters = HexCase::Lower);

// Writes each byte as two lower-case hexadecimal digits, with no separator:
// {0x0a, 0xff} gives "0aff".
[[nodiscard]] std::string hexEncode(std::span<const std::uint8_t> bytes);

// Reads hexadecimal digits in pairs, the first of each pair being the high
// four bits. Accepts 0-9, A-F and a-f; any other character, or an odd number
// of digits, gives nothing. Empty text gives no bytes.
[[nodiscard]] std::optional<Bytes> hexDecode(std::string_view text);

}  // namespace lockstep
