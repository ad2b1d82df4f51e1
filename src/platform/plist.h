#pragma once

#include <memory>
#include <optional>

#include "platform/bytes.h"

namespace lockstep {

// Property-list serialisation formats, numbered as the platform numbers them.
enum class PlistFormat { XML = 100, Binary = 200 };

// A libplist node (plist_t). Code that walks or builds nodes includes
// <plist/plist.h> itself; this header only manages their lifetime.
using PlistNode = void*;

struct PlistDeleter {
    void operator()(PlistNode node) const noexcept;
};

// Owns a whole property-list tree; freeing the root frees every node in it.
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

struct ParsedPlist {
    PlistPtr root;
    PlistFormat format;
};

// Largest document the parser is handed; anything larger is refused.
inline constexpr std::size_t kMaxPlistBytes = 16U * 1024U * 1024U;

// Parses an XML or binary property list and reports which of the two it was.
// Gives nothing for empty, oversized, too deeply nested, exploding (shared
// binary references) or malformed input.
[[nodiscard]] std::optional<ParsedPlist> parsePlist(const Bytes& data);

// Serialises a tree in the given format. Gives nothing when libplist fails.
[[nodiscard]] std::optional<Bytes> serializePlist(PlistNode root, PlistFormat format);

}  // namespace lockstep
