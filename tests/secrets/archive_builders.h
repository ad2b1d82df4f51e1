#pragma once

// Hand-made archives and property lists for the decoding tests.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bytes.h"

namespace lockstep::testing {

// An XML reference to entry `uid` of "$objects".
inline std::string xmlUID(std::uint64_t uid) {
    return "<dict><key>CF$UID</key><integer>" + std::to_string(uid) + "</integer></dict>";
}

// An XML class entry {"$classname": name, "$classes": [name, "NSObject"]}.
inline std::string xmlClass(std::string_view name) {
    const std::string n(name);
    return "<dict><key>$classname</key><string>" + n +
           "</string><key>$classes</key><array><string>" + n +
           "</string><string>NSObject</string></array></dict>";
}

// A keyed archive in XML: `top` is the inside of the "$top" dictionary
// (key/value pairs), `objects` the entries after "$null" (UID 1 onwards).
inline Bytes xmlArchive(std::string_view top, const std::vector<std::string>& objects) {
    std::string text =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
        "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n<dict>\n"
        "<key>$archiver</key><string>NSKeyedArchiver</string>\n"
        "<key>$objects</key>\n<array>\n<string>$null</string>\n";
    for (const std::string& object : objects) {
        text += object + "\n";
    }
    text += "</array>\n<key>$top</key>\n<dict>";
    text += top;
    text +=
        "</dict>\n<key>$version</key><integer>100000</integer>\n"
        "</dict>\n</plist>\n";
    return toBytes(text);
}

// Builds a binary property list object by object, with 4-byte offsets and
// references, so that tests can make shapes no writer would: cycles, shared
// references, deep nesting and false counts.
class RawBinaryPlist {
  public:
    std::uint32_t add(Bytes object) {
        objects_.push_back(std::move(object));
        return static_cast<std::uint32_t>(objects_.size() - 1);
    }
    // A container marker with its count, and the count's integer object
    // when it does not fit in the marker.
    static Bytes header(std::uint8_t type, std::uint64_t count) {
        Bytes out;
        if (count < 15) {
            out.push_back(static_cast<std::uint8_t>((std::uint64_t{type} << 4U) | count));
            return out;
        }
        out.push_back(static_cast<std::uint8_t>((std::uint32_t{type} << 4U) | 0xFU));
        out.push_back(0x13);
        appendBig(out, count, 8);
        return out;
    }
    static Bytes array(const std::vector<std::uint32_t>& refs) {
        Bytes out = header(0xA, refs.size());
        for (const std::uint32_t ref : refs) {
            appendBig(out, ref, 4);
        }
        return out;
    }
    static Bytes dict(const std::vector<std::uint32_t>& keys,
                      const std::vector<std::uint32_t>& values) {
        Bytes out = header(0xD, keys.size());
        for (const std::uint32_t ref : keys) {
            appendBig(out, ref, 4);
        }
        for (const std::uint32_t ref : values) {
            appendBig(out, ref, 4);
        }
        return out;
    }
    static Bytes ascii(std::string_view text) {
        Bytes out = header(0x5, text.size());
        out.insert(out.end(), text.begin(), text.end());
        return out;
    }
    static Bytes uid(std::uint8_t value) { return Bytes{0x80, value}; }

    Bytes build(std::uint32_t top) const {
        Bytes out = toBytes("bplist00");
        std::vector<std::uint64_t> offsets;
        for (const Bytes& object : objects_) {
            offsets.push_back(out.size());
            out.insert(out.end(), object.begin(), object.end());
        }
        const std::uint64_t table = out.size();
        for (const std::uint64_t offset : offsets) {
            appendBig(out, offset, 4);
        }
        out.insert(out.end(), 6, 0);
        out.push_back(4);  // offset size
        out.push_back(4);  // reference size
        appendBig(out, objects_.size(), 8);
        appendBig(out, top, 8);
        appendBig(out, table, 8);
        return out;
    }

  private:
    static void appendBig(Bytes& out, std::uint64_t value, int width) {
        for (int i = width - 1; i >= 0; --i) {
            out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
        }
    }
    std::vector<Bytes> objects_;
};

}  // namespace lockstep::testing
