#include "platform/plist.h"

#include <plist/plist.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "platform/plist_limits.h"
#include "platform/text.h"

namespace lockstep {

void PlistDeleter::operator()(PlistNode node) const noexcept {
    if (node != nullptr) {
        plist_free(static_cast<plist_t>(node));
    }
}

void PlistMallocDeleter::operator()(void* memory) const noexcept {
    // libplist allocates with malloc and has no function of its own to free.
    std::free(memory);  // NOLINT(cppcoreguidelines-no-malloc,cppcoreguidelines-owning-memory)
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

bool forEachDictionaryEntry(PlistNode dictionary, const DictionaryVisitor& visit) {
    const auto root = static_cast<plist_t>(dictionary);
    if (plist_get_node_type(root) != PLIST_DICT) {
        return false;
    }
    plist_dict_iter rawIter = nullptr;
    plist_dict_new_iter(root, &rawIter);
    const PlistMalloced<void> iter(rawIter);
    if (iter == nullptr) {
        return false;
    }
    for (;;) {
        char* rawKey = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(root, iter.get(), &rawKey, &value);
        const PlistMalloced<char> key(rawKey);
        if (value == nullptr) {
            return true;
        }
        if (!visit(key.get(), value)) {
            return false;
        }
    }
}

std::optional<TextLists> dictionaryOfTextLists(PlistNode root) {
    TextLists lists;
    const bool whole = forEachDictionaryEntry(root, [&lists](const char* key, PlistNode value) {
        const auto list = static_cast<plist_t>(value);
        if (plist_get_node_type(list) != PLIST_ARRAY || key == nullptr || !isUtf8WithoutNul(key)) {
            return false;
        }
        std::vector<std::string> texts;
        const std::uint32_t count = plist_array_get_size(list);
        for (std::uint32_t i = 0; i < count; ++i) {
            const plist_t item = plist_array_get_item(list, i);
            if (plist_get_node_type(item) != PLIST_STRING) {
                return false;
            }
            std::uint64_t length = 0;
            const char* text = plist_get_string_ptr(item, &length);
            const std::string_view view =
                text == nullptr ? std::string_view() : std::string_view(text, length);
            if ((text == nullptr && length != 0) || !isUtf8WithoutNul(view)) {
                return false;
            }
            texts.emplace_back(view);
        }
        return lists.emplace(key, std::move(texts)).second;
    });
    return whole ? std::optional<TextLists>(std::move(lists)) : std::nullopt;
}

}  // namespace lockstep
