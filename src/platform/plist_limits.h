#pragma once

#include <cstddef>

#include "platform/bytes.h"

namespace lockstep {

// Bounds on what a property list may become once parsed.
struct PlistLimits {
    // Size of the document.
    std::size_t maxBytes = 0;
    // Nesting of containers (binary) or elements (XML).
    std::size_t maxDepth = 0;
    // Nodes of the parsed tree, counting every reference to a shared binary
    // object as a copy of it.
    std::size_t maxNodes = 0;
    // Bytes of data and text in the parsed tree, counted the same way.
    std::size_t maxPayloadBytes = 0;
};

// Whether a binary or XML property list stays within `limits` once parsed,
// judged from its raw bytes before the parser sees them. libplist 2.2
// recurses once per nesting level of a binary list, so deep nesting
// overflows the stack, and it copies a binary object once for every
// reference to it, so a few hundred bytes of shared references can expand to
// gigabytes. Binary lists are walked as a graph (each object once), which
// also refuses cycles; XML has no references, so only its element nesting is
// measured. A binary dictionary key that holds a NUL byte is refused too:
// libplist 2.2 aborts the process (an assertion) when such a key is read
// back. A list refused here may still be malformed in other ways that the
// parser itself rejects.
[[nodiscard]] bool plistWithinLimits(const Bytes& data, const PlistLimits& limits);

}  // namespace lockstep
