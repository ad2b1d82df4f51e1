#include "platform/directory/directory.h"

#include <cstdio>
#include <string>

#include "platform/text.h"

namespace lockstep {

namespace {

// Control characters are written as \xNN so a name cannot break a log line.
void appendPrintable(std::string& out, std::string_view text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            out += "\\x";
            appendHexByte(out, byte);
        } else {
            out += c;
        }
    }
}

}  // namespace

std::string ODRecord::description() const {
    char address[32];
    static_cast<void>(std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this)));
    std::string text = "<ODRecord: ";
    text += address;
    text += "> {recordType: ";
    appendPrintable(text, recordType_);
    text += ", recordName: ";
    appendPrintable(text, recordName_);
    text += "}";
    return text;
}

}  // namespace lockstep
