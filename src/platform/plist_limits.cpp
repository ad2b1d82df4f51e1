#include "platform/plist_limits.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace lockstep {

namespace {

constexpr std::string_view kBinaryMagic = "bplist00";
constexpr std::size_t kTrailerLength = 32;

// Object markers of the binary format (high nibble).
constexpr std::uint8_t kMarkerData = 0x4;
constexpr std::uint8_t kMarkerASCII = 0x5;
constexpr std::uint8_t kMarkerUTF16 = 0x6;
constexpr std::uint8_t kMarkerArray = 0xA;
constexpr std::uint8_t kMarkerSet = 0xC;
constexpr std::uint8_t kMarkerDict = 0xD;

// Walks the object graph of a binary property list from its top object,
// visiting each object once, and sums what the parser's tree would hold.
class BinaryScanner {
  public:
    BinaryScanner(const Bytes& data, const PlistLimits& limits) : data_(data), limits_(limits) {}

    bool run() {
        if (data_.size() < kBinaryMagic.size() + kTrailerLength) {
            return false;
        }
        const std::size_t trailer = data_.size() - kTrailerLength;
        offsetSize_ = data_[trailer + 6];
        refSize_ = data_[trailer + 7];
        std::uint64_t objectCount = 0;
        std::uint64_t top = 0;
        std::uint64_t tableOffset = 0;
        if (!read(trailer + 8, 8, objectCount) || !read(trailer + 16, 8, top) ||
            !read(trailer + 24, 8, tableOffset)) {
            return false;
        }
        if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8 ||
            objectCount == 0 || objectCount > limits_.maxNodes || top >= objectCount ||
            tableOffset < kBinaryMagic.size() || tableOffset > trailer ||
            objectCount > (trailer - tableOffset) / offsetSize_) {
            return false;
        }
        objectsEnd_ = static_cast<std::size_t>(tableOffset);
        objectCount_ = static_cast<std::size_t>(objectCount);
        return walk(static_cast<std::size_t>(top));
    }

  private:
    enum class Mark : std::uint8_t { Unseen, Open, Done };

    // What one object holds: its own payload and where its references are
    // (for a dictionary, its keys' references come first).
    struct Shape {
        std::size_t payload = 0;
        std::size_t refsAt = 0;
        std::size_t refCount = 0;
        std::size_t keyCount = 0;
    };

    struct Frame {
        std::size_t index;
        Shape shape;
        std::size_t next = 0;
        std::size_t nodes = 0;
        std::size_t payload = 0;
        std::size_t childDepth = 0;
    };

    struct Totals {
        std::size_t nodes = 0;
        std::size_t payload = 0;
        std::size_t depth = 0;
    };

    // Reads a big-endian number of `width` bytes at `at` inside the file.
    bool read(std::size_t at, std::size_t width, std::uint64_t& out) const {
        if (width == 0 || width > 8 || at > data_.size() || data_.size() - at < width) {
            return false;
        }
        out = 0;
        for (std::size_t i = 0; i < width; ++i) {
            out = (out << 8U) | data_[at + i];
        }
        return true;
    }

    // The count that follows a marker: its low nibble, or for 0xF an integer
    // object after it. `at` moves past what was read.
    bool count(std::uint8_t low, std::size_t& at, std::size_t& out) const {
        if (low != 0xF) {
            out = low;
            return true;
        }
        if (at >= objectsEnd_) {
            return false;
        }
        const std::uint8_t marker = data_[at];
        if ((marker >> 4U) != 0x1 || (marker & 0xFU) > 3) {
            return false;
        }
        const std::size_t width = std::size_t{1} << (marker & 0xFU);
        std::uint64_t value = 0;
        if (at + 1 + width > objectsEnd_ || !read(at + 1, width, value)) {
            return false;
        }
        at += 1 + width;
        if (value > objectsEnd_) {  // cannot fit in the file
            return false;
        }
        out = static_cast<std::size_t>(value);
        return true;
    }

    bool shape(std::size_t index, Shape& out) const {
        std::uint64_t offset = 0;
        if (!read(objectsEnd_ + index * offsetSize_, offsetSize_, offset) ||
            offset < kBinaryMagic.size() || offset >= objectsEnd_) {
            return false;
        }
        std::size_t at = static_cast<std::size_t>(offset);
        const std::uint8_t marker = data_[at++];
        const std::uint8_t type = marker >> 4U;
        const std::uint8_t low = marker & 0xFU;
        std::size_t n = 0;
        out = Shape{};
        switch (type) {
            case kMarkerData:
            case kMarkerASCII:
                if (!count(low, at, n) || n > objectsEnd_ - at) {
                    return false;
                }
                out.payload = n;
                return true;
            case kMarkerUTF16:
                if (!count(low, at, n) || n > (objectsEnd_ - at) / 2) {
                    return false;
                }
                out.payload = n * 3;  // as UTF-8, at most three bytes per unit
                return true;
            case kMarkerArray:
            case kMarkerSet:
            case kMarkerDict: {
                if (!count(low, at, n)) {
                    return false;
                }
                const std::size_t refs = type == kMarkerDict ? 2 : 1;
                if (n > (objectsEnd_ - at) / (refs * refSize_)) {
                    return false;
                }
                out.refsAt = at;
                out.refCount = n * refs;
                out.keyCount = type == kMarkerDict ? n : 0;
                return true;
            }
            default:
                return true;  // scalars: nothing to add
        }
    }

    // Whether object `index`, used as a dictionary key, is a text that holds
    // a NUL byte (or NUL unit). libplist 2.2 aborts the process on an
    // assertion when it hands out such a key, so it must never parse one.
    // Other objects are left to the parser, which refuses non-text keys.
    bool keyHoldsNul(std::size_t index) const {
        std::uint64_t offset = 0;
        if (!read(objectsEnd_ + index * offsetSize_, offsetSize_, offset) ||
            offset < kBinaryMagic.size() || offset >= objectsEnd_) {
            return true;  // unreadable: refused like any malformed object
        }
        std::size_t at = static_cast<std::size_t>(offset);
        const std::uint8_t marker = data_[at++];
        const std::uint8_t type = marker >> 4U;
        std::size_t n = 0;
        if (type == kMarkerASCII) {
            if (!count(marker & 0xFU, at, n) || n > objectsEnd_ - at) {
                return true;
            }
            return n > 0 && std::memchr(data_.data() + at, 0, n) != nullptr;
        }
        if (type == kMarkerUTF16) {
            if (!count(marker & 0xFU, at, n) || n > (objectsEnd_ - at) / 2) {
                return true;
            }
            for (std::size_t i = 0; i < n; ++i) {
                if (data_[at + 2 * i] == 0 && data_[at + 2 * i + 1] == 0) {
                    return true;
                }
            }
        }
        return false;
    }

    bool walk(std::size_t top) {
        std::vector<Mark> marks(objectCount_, Mark::Unseen);
        std::vector<Totals> totals(objectCount_);
        std::vector<Frame> stack;
        Frame first{top, {}};
        if (!shape(top, first.shape)) {
            return false;
        }
        marks[top] = Mark::Open;
        stack.push_back(first);
        while (!stack.empty()) {
            Frame& frame = stack.back();
            if (frame.next < frame.shape.refCount) {
                std::uint64_t ref = 0;
                if (!read(frame.shape.refsAt + frame.next * refSize_, refSize_, ref) ||
                    ref >= objectCount_) {
                    return false;
                }
                const auto child = static_cast<std::size_t>(ref);
                if (frame.next < frame.shape.keyCount && keyHoldsNul(child)) {
                    return false;
                }
                ++frame.next;
                if (marks[child] == Mark::Open) {
                    return false;  // a cycle
                }
                if (marks[child] == Mark::Done) {
                    if (!add(frame, totals[child])) {
                        return false;
                    }
                    continue;
                }
                if (stack.size() >= limits_.maxDepth) {
                    return false;
                }
                Frame next{child, {}};
                if (!shape(child, next.shape)) {
                    return false;
                }
                marks[child] = Mark::Open;
                stack.push_back(next);  // `frame` is not used past this point
                continue;
            }
            const Totals done{frame.nodes + 1, frame.payload + frame.shape.payload,
                              frame.childDepth + 1};
            if (done.nodes > limits_.maxNodes || done.payload > limits_.maxPayloadBytes ||
                done.depth > limits_.maxDepth) {
                return false;
            }
            totals[frame.index] = done;
            marks[frame.index] = Mark::Done;
            stack.pop_back();
            if (!stack.empty() && !add(stack.back(), done)) {
                return false;
            }
        }
        return true;
    }

    // Adds a finished child to its parent, refusing as soon as a sum passes
    // its bound (so the sums cannot overflow).
    bool add(Frame& parent, const Totals& child) const {
        parent.nodes += child.nodes;
        parent.payload += child.payload;
        parent.childDepth = std::max(parent.childDepth, child.depth);
        return parent.nodes <= limits_.maxNodes && parent.payload <= limits_.maxPayloadBytes &&
               parent.childDepth < limits_.maxDepth;
    }

    const Bytes& data_;
    const PlistLimits& limits_;
    std::size_t offsetSize_ = 0;
    std::size_t refSize_ = 0;
    std::size_t objectsEnd_ = 0;
    std::size_t objectCount_ = 0;
};

// Measures the element nesting of an XML document. Comments, CDATA sections,
// processing instructions and the document type are skipped; a tag that is
// not visibly self-closing counts as opening an element, so anything the
// scan cannot read only makes the measure larger.
bool xmlWithinDepth(const Bytes& data, std::size_t maxDepth) {
    const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
    const auto skipPast = [&](std::size_t from, std::string_view end) {
        const std::size_t found = text.find(end, from);
        return found == std::string_view::npos ? text.size() : found + end.size();
    };
    std::size_t depth = 0;
    std::size_t at = 0;
    while ((at = text.find('<', at)) != std::string_view::npos) {
        const char next = at + 1 < text.size() ? text[at + 1] : '\0';
        if (next == '!') {
            if (text.compare(at, 4, "<!--") == 0) {
                at = skipPast(at + 4, "-->");
            } else if (text.compare(at, 9, "<![CDATA[") == 0) {
                at = skipPast(at + 9, "]]>");
            } else {
                at = skipPast(at + 2, ">");  // the document type
            }
        } else if (next == '?') {
            at = skipPast(at + 2, "?>");
        } else if (next == '/') {
            depth = depth > 0 ? depth - 1 : 0;
            at = skipPast(at + 2, ">");
        } else {
            const std::size_t close = text.find('>', at + 1);
            if (close == std::string_view::npos) {
                return true;  // unterminated: the parser refuses it
            }
            if (text[close - 1] != '/' && ++depth > maxDepth) {
                return false;
            }
            at = close + 1;
        }
    }
    return true;
}

}  // namespace

bool plistWithinLimits(const Bytes& data, const PlistLimits& limits) {
    if (data.empty() || data.size() > limits.maxBytes) {
        return false;
    }
    const bool binary = data.size() >= kBinaryMagic.size() &&
                        std::memcmp(data.data(), kBinaryMagic.data(), kBinaryMagic.size()) == 0;
    if (binary) {
        return BinaryScanner(data, limits).run();
    }
    return xmlWithinDepth(data, limits.maxDepth);
}

}  // namespace lockstep
