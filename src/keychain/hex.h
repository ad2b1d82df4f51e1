#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/bytes.h"

namespace lockstep {

// Writes each byte as two lower-case hexadecimal digits, with no separator:
// {0x0a, 0xff} gives "0aff".
[[nodiscard]] std::string hexEncode(const Bytes& bytes);

// Reads hexadecimal digits in pairs, the first of each pair being the high
// four bits. Accepts 0-9, A-F and a-f; any other character, or an odd number
// of digits, gives nothing. Empty text gives no bytes.
[[nodiscard]] std::optional<Bytes> hexDecode(std::string_view text);

}  // namespace lockstep
