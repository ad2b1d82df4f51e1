#include "platform/plist.h"

#include <plist/plist.h>

#include <cstdlib>
#include <cstring>

#include "platform/plist_limits.h"

namespace lockstep {

void PlistDeleter::operator()(PlistNode node) const noexcept {
    if (node != nullptr) {
        plist_free(static_cast<plist_t>(node));
    }
}

namespace {
constexpr char kBinaryMagic[] = "bplist00";

// Frees a buffer that plist_to_xml / plist_to_bin allocated.
struct XmlBufferDeleter {
    void operator()(char* p) const noexcept { plist_to_xml_free(p); }
};
struct BinBufferDeleter {
    void operator()(char* p) const noexcept { plist_to_bin_free(p); }
};
}  // namespace

std::optional<ParsedPlist> parsePlist(const Bytes& data) {
    // libplist recurses once per nesting level and copies a shared binary
    // object once per reference, so hostile input is measured before the
    // parser sees it. Every property list of the program is small and flat.
    static constexpr PlistLimits kLimits{.maxBytes = kMaxPlistBytes,
                                         .maxDepth = 64,
                                         .maxNodes = 1U << 20U,
                                         .maxPayloadBytes = 4 * kMaxPlistBytes};
    if (data.empty() || !plistWithinLimits(data, kLimits)) {
        return std::nullopt;
    }
    const auto* text = reinterpret_cast<const char*>(data.data());
    const auto length = static_cast<uint32_t>(data.size());
    const bool binary =
        data.size() >= 8 && std::memcmp(text, kBinaryMagic, sizeof(kBinaryMagic) - 1) == 0;
    plist_t root = nullptr;
    if (binary) {
        plist_from_bin(text, length, &root);
    } else {
        plist_from_xml(text, length, &root);
    }
    if (root == nullptr) {
        return std::nullopt;
    }
    return ParsedPlist{PlistPtr(root), binary ? PlistFormat::Binary : PlistFormat::XML};
}

std::optional<Bytes> serializePlist(PlistNode root, PlistFormat format) {
    if (root == nullptr) {
        return std::nullopt;
    }
    char* buffer = nullptr;
    uint32_t length = 0;
    if (format == PlistFormat::Binary) {
        plist_to_bin(static_cast<plist_t>(root), &buffer, &length);
        const std::unique_ptr<char, BinBufferDeleter> owned(buffer);
        if (owned == nullptr) {
            return std::nullopt;
        }
        return Bytes(owned.get(), owned.get() + length);
    }
    plist_to_xml(static_cast<plist_t>(root), &buffer, &length);
    const std::unique_ptr<char, XmlBufferDeleter> owned(buffer);
    if (owned == nullptr) {
        return std::nullopt;
    }
    return Bytes(owned.get(), owned.get() + length);
}

}  // namespace lockstep
