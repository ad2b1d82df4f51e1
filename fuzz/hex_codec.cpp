// The hexadecimal codec of the partition description. Input: any bytes, used
// both as text to decode and as bytes to encode.
//
// Checks: encoding gives two lower-case digits per byte and decodes back to
// the bytes; text decodes exactly when it has an even number of characters,
// all hexadecimal digits, and then encodes back to its lower-case form.

#include <string>

#include "platform/text.h"
#include "support/fuzz_support.h"

namespace {

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

char lower(char c) {
    return c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

namespace lockstep::fuzz {

void fuzzOne(const std::uint8_t* data, std::size_t size) {
    // Bytes -> text -> bytes.
    const Bytes bytes = bytesOf(data, size);
    const std::string encoded = hexEncode(bytes);
    check(encoded.size() == 2 * bytes.size(), "encoding is not two digits per byte");
    for (const char c : encoded) {
        check((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'),
              "encoding wrote something other than a lower-case digit");
    }
    const std::optional<Bytes> decoded = hexDecode(encoded);
    check(decoded.has_value() && *decoded == bytes, "encoded bytes do not decode back");

    // Text -> bytes -> text.
    const std::string_view text = textOf(data, size);
    bool valid = text.size() % 2 == 0;
    std::string lowered;
    for (const char c : text) {
        valid = valid && isHexDigit(c);
        lowered += lower(c);
    }
    const std::optional<Bytes> fromText = hexDecode(text);
    check(fromText.has_value() == valid, "decoding accepts invalid or refuses valid text");
    if (fromText) {
        check(fromText->size() == text.size() / 2, "decoding gives the wrong number of bytes");
        check(hexEncode(*fromText) == lowered, "decoded text does not encode back");
    }
}

}  // namespace lockstep::fuzz
