#pragma once

#include <string>
#include <string_view>

namespace lockstep {

// Whether `text` is well-formed UTF-8: no stray continuation bytes, no
// truncated or overlong sequences, no UTF-16 surrogates, nothing above
// U+10FFFF. A std::string carries no encoding, so texts that must become
// UTF-8 bytes "without lossy conversion" are checked with this.
[[nodiscard]] bool isValidUTF8(std::string_view text) noexcept;

// `text` with every byte that does not start a well-formed sequence replaced
// by U+FFFD, for writers that can only carry valid UTF-8.
[[nodiscard]] std::string toValidUTF8(std::string_view text);

}  // namespace lockstep
