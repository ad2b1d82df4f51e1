#include "platform/text.h"

#include <cstdio>
#include <string>

#include "ctl/commands.h"
#include "log/unified_logger.h"

namespace lockstep::ctl {

namespace {

void appendEscaped(std::string& out, unsigned char byte) {
    out += "\\x";
    appendHexByte(out, byte);
}

// Whether a well-formed UTF-8 sequence is a bidirectional formatting
// character: the embeddings and overrides U+202A to U+202E, the isolates
// U+2066 to U+2069, the marks U+200E, U+200F and U+061C. A terminal obeys
// them and would show a name reordered.
bool isBidiFormatting(std::string_view sequence) {
    const auto byte = [&sequence](std::size_t i) {
        return static_cast<unsigned char>(sequence[i]);
    };
    if (sequence.size() == 2) {
        return byte(0) == 0xD8 && byte(1) == 0x9C;
    }
    if (sequence.size() != 3 || byte(0) != 0xE2) {
        return false;
    }
    return (byte(1) == 0x80 &&
            ((byte(2) >= 0xAA && byte(2) <= 0xAE) || byte(2) == 0x8E || byte(2) == 0x8F)) ||
           (byte(1) == 0x81 && byte(2) >= 0xA6 && byte(2) <= 0xA9);
}

// The code point of a well-formed UTF-8 sequence of two or three bytes, as
// \uXXXX.
void appendCodePoint(std::string& out, std::string_view sequence) {
    char escaped[8];
    static_cast<void>(std::snprintf(escaped, sizeof escaped, "\\u%04x",
                                    static_cast<unsigned>(utf8CodePoint(sequence))));
    out += escaped;
}

}  // namespace

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            if (byte < 0x20 || byte == 0x7F) {
                appendEscaped(out, byte);
            } else if (byte == '\\') {
                out += "\\\\";
            } else {
                out += static_cast<char>(byte);
            }
            ++i;
            continue;
        }
        if (const Utf8Sequence scanned = scanUtf8(text.substr(i)); scanned.wellFormed) {
            // U+0080 to U+009F are the C1 controls, which terminals obey too.
            const std::size_t length = scanned.length;
            const auto second = static_cast<unsigned char>(text[i + 1]);
            const std::string_view sequence = text.substr(i, length);
            if (byte == 0xC2 && second < 0xA0) {
                appendEscaped(out, byte);
                appendEscaped(out, second);
            } else if (isBidiFormatting(sequence)) {
                appendCodePoint(out, sequence);
            } else {
                out.append(text.substr(i, length));
            }
            i += length;
            continue;
        }
        appendEscaped(out, byte);
        ++i;
    }
    return out;
}

std::string formatTime(std::chrono::system_clock::time_point time) {
    return iso8601Timestamp(time);
}

std::string describeStatus(OSStatus status) {
    std::string words;
    switch (status) {
        case errSecNoSuchKeychain:
            words = "no such keychain";
            break;
        case errSecInvalidKeychain:
            words = "not an intact keychain, or its key file is unsafe";
            break;
        case errSecAuthFailed:
            words = "the key file does not open the keychain";
            break;
        case errSecDecode:
            words = "a stored secret does not decrypt";
            break;
        case errSecIO:
            words = "input/output error";
            break;
        case errSecReadOnly:
            words = "the keychain is read-only";
            break;
        case errSecDiskFull:
            words = "the disk is full";
            break;
        case errSecItemNotFound:
            words = "no such item";
            break;
        case errSecInvalidItemRef:
            words = "the item is gone";
            break;
        default:
            // Nothing better to say than the number.
            return "keychain error (status " + std::to_string(status) + ")";
    }
    return words;
}

}  // namespace lockstep::ctl
