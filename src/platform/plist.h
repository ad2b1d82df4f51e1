#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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

// Owns what libplist hands out with malloc: copied keys and texts, data,
// dictionary iterators.
struct PlistMallocDeleter {
    void operator()(void* memory) const noexcept;
};
template <typename T>
using PlistMalloced = std::unique_ptr<T, PlistMallocDeleter>;

struct ParsedPlist {
    PlistPtr root;
    PlistFormat format;
};

// Largest document the parser is handed; anything larger is refused.
inline constexpr std::size_t kMaxPlistBytes = std::size_t{16} * 1024 * 1024;

// Parses an XML or binary property list and reports which of the two it was.
// Gives nothing for empty, oversized, too deeply nested, exploding (shared
// binary references) or malformed input.
[[nodiscard]] std::optional<ParsedPlist> parsePlist(const Bytes& data);

// Serialises a tree in the given format. Gives nothing when libplist fails.
[[nodiscard]] std::optional<Bytes> serializePlist(PlistNode root, PlistFormat format);

// Calls `visit(key, value)` for each entry of a dictionary node, in order,
// until it gives false; `key` is null where libplist could not copy it. Gives
// whether every entry was visited: false when the node is no dictionary, when
// libplist cannot walk it, or when `visit` stopped the walk.
using DictionaryVisitor = std::function<bool(const char* key, PlistNode value)>;
[[nodiscard]] bool forEachDictionaryEntry(PlistNode dictionary, const DictionaryVisitor& visit);

// Text keys to lists of texts.
using TextLists = std::map<std::string, std::vector<std::string>>;

// The entries of a dictionary whose every value is a list of texts and whose
// every key and text survives serialisation unchanged (UTF-8 without NUL
// bytes: libplist takes C strings and stops a binary text at the first byte
// that is not UTF-8). A binary list can name one key twice (libplist keeps
// both); such a dictionary gives nothing, as does any other shape.
[[nodiscard]] std::optional<TextLists> dictionaryOfTextLists(PlistNode root);

}  // namespace lockstep
